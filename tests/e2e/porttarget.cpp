// The guest side of the emulated-PC test (tests/e2e/run): the program's own
// port stack (port selection, the lock, the libieee1284 and GPIO back ends,
// the record, run control over the sequencer, the crash guard) on a real
// kernel's parport_pc + ppdev, and on a real gpiolib chip (fcgpio) through
// the GPIO character device and libgpiod, one case a run.
//
//   porttarget mark TEXT
//   porttarget gpiolog CASE
//   porttarget gpiokeepalive CASE
//   porttarget [--as UID:GID[:GROUP...]] CASE
//
// CASE is one of outsider, select, run-stop, run-shutdown, crash, and
// library-open, which calls libieee1284 alone to show which of its calls
// writes to the port, and removed (as root), which takes the port away during
// a run by unbinding parport_pc from it, and keep-alive (the keep-alive on
// pin 17 through SIGKILL, a new program, SIGSTOP and SIGCONT); on GPIO,
// gpio-select, gpio-run-stop, gpio-run-sigterm, gpio-crash, gpio-cost (what
// a step's writes cost), gpio-removed (the chip taken away during a run) and
// gpio-keep-alive (the keep-alive's case on line 12). gpiokeepalive prints
// line 12 as the chip logged it, with the chip's times. --as drops root for the given user and
// groups before anything else is done. gpiolog prints what the chip logged
// during a case: "GPIOLOG case: M:case:phase o:LINE=LEVEL s:LEVELS R:removed
// ...", and
// "GPIOLEVELS case: LEVELS", the levels now (lines 0-11, '1' high).
//
// Between the phases of a case it prints "@@case:phase@@" on its stdout, the
// emulated PC's serial line, and waits (tcdrain) until the UART has taken
// every character. QEMU traces the UART's and the parallel port's register
// writes in one stream, so on the host the markers cut the parallel port's
// writes into phases in the order they happened. It also prints
// "RECORD case: a=v ..." (the program's own record of its writes) and
// "RESULT case: ok" or "RESULT case: FAIL why". Exit status 0: every check
// made here passed; the register values are checked on the host. The marks
// also go into the GPIO chip's log, where it is there, to cut its sets the
// same way.
#include "port/backend/crashguard.h"
#include "port/backend/module1.h"
#include "port/backend/port.h"
#include "port/backend/portselection.h"
#include "port/pattern/steppattern.h"
#include "port/record/recordedport.h"
#include "port/run/runcontrol.h"

#include <fcntl.h>
#include <grp.h>
#include <ieee1284.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

using namespace std::chrono_literals;

namespace {

// 10 000 passes of 100 ns: a step of 1 ms, a cycle of 14 ms.
constexpr std::int64_t delayCount = 9'999;
constexpr std::uint64_t cyclesWanted = 3;
// Only a guard against a hung run, not a measure: emulation is slow.
constexpr auto longestWait = 300s;
constexpr std::string_view groupHint = "add the user to group lp";
// The chip's debugfs files (tests/e2e/fcgpio).
constexpr char gpioDebug[] = "/sys/kernel/debug/fcgpio/";
constexpr std::size_t gpioLinesShown = 12;

// The port a case drives, as the program would be told it, and what the
// program must say of it.
struct Target {
    std::string choice;
    std::string description;
    std::string name;
    std::string inUse;  // how a second instance is refused
};
const Target parallelPort{"auto", "Port: /dev/parport0 (0x378)", "/dev/parport0", "in use by another program"};
// D0-D7, C1, pins 1, 16, 17 on lines 0-11 of the chip, once by label and names.
const Target gpioPort{"gpio:/dev/gpiochip0:0,1,2,3,4,5,6,7,8,9,10,11",
                      "Port: GPIO gpiochip0 [fcgpio], lines 0,1,2,3,4,5,6,7,8,9,10,11 (D0-D7, C1, pins 1, 16, 17)",
                      "gpiochip0", "is in use by 'frequency-converter'"};
const Target gpioByName{"gpio:fcgpio:fc0,fc1,fc2,fc3,fc4,fc5,fc6,fc7,fc8,fc9,fc10,fc11", gpioPort.description,
                        gpioPort.name, gpioPort.inUse};
Target target = parallelPort;

std::string currentCase;
std::vector<std::string> failures;

// How long one call of step takes, over times calls: emulated, so a bound
// from above.
template <class Step>
double microsecondsEach(int times, Step step)
{
    const auto started = std::chrono::steady_clock::now();
    for (int at = 0; at < times; ++at)
        step();
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - started).count() / times;
}

void mark(const std::string& text)
{
    std::printf("@@%s@@\n", text.c_str());
    std::fflush(stdout);
    tcdrain(STDOUT_FILENO);  // every character through the UART before the next port write
    const int chipLog = ::open((std::string(gpioDebug) + "mark").c_str(), O_WRONLY | O_CLOEXEC);
    if (chipLog >= 0) {
        const ssize_t written = ::write(chipLog, text.data(), text.size());
        static_cast<void>(written);  // no chip log, no mark: the host finds it missing
        ::close(chipLog);
    }
}

void phase(const char* name)
{
    mark(currentCase + ":" + name);
}

void check(bool good, const std::string& what)
{
    if (!good) {
        failures.push_back(what);
        std::printf("CHECK FAILED %s: %s\n", currentCase.c_str(), what.c_str());
        std::fflush(stdout);
    }
}

bool contains(std::string_view text, std::string_view part)
{
    return text.find(part) != std::string_view::npos;
}

void printRecord(const port::record::WriteRecord& record)
{
    std::uint64_t next = 0;
    std::printf("RECORD %s:", currentCase.c_str());
    for (const auto& write : record.since(0, record.capacity(), next))
        std::printf(" %x=%02x", static_cast<unsigned>(write.address), static_cast<unsigned>(write.value));
    std::printf("\n");
    std::fflush(stdout);
}

int finish()
{
    std::printf("RESULT %s: %s\n", currentCase.c_str(),
                failures.empty() ? "ok" : ("FAIL " + failures.front()).c_str());
    std::fflush(stdout);
    return failures.empty() ? 0 : 1;
}

// The case's port, opened the way the program opens it; false when it is not.
bool openUsual(port::backend::OpenedPort& opened)
{
    opened = port::backend::openPort(target.choice);
    std::printf("DESCRIPTION %s: %s\n", currentCase.c_str(), opened.description.c_str());
    std::fflush(stdout);
    check(opened.refusal.empty(), "refused: " + opened.refusal);
    check(opened.description == target.description, "description: " + opened.description);
    check(opened.port && opened.port->name() == target.name, "not " + target.name);
    return opened.port && opened.refusal.empty() && opened.port->name() == target.name;
}

// Another process opens the case's port while this one holds it, by each
// of choices: refused every time.
bool secondInstanceRefused(std::initializer_list<std::string> choices)
{
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        bool refused = true;
        for (const std::string& choice : choices) {
            const port::backend::OpenedPort second = port::backend::openPort(choice);
            if (&choice == choices.begin())
                std::printf("REFUSAL %s: %s\n", currentCase.c_str(), second.refusal.c_str());
            refused = refused && !second.port && contains(second.refusal, target.inUse);
        }
        std::fflush(stdout);
        std::_Exit(refused ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Until cycles() reaches wanted; false if the run hangs.
template <typename Cycles>
bool waitFor(Cycles cycles, std::uint64_t wanted = cyclesWanted)
{
    const auto deadline = std::chrono::steady_clock::now() + longestWait;
    while (cycles() < wanted) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A user outside group lp: no crash, and the remedy in the words.
int outsider()
{
    phase("open");
    // The port is there: auto refuses it too, rather than run on a simulated one.
    const port::backend::OpenedPort automatic = port::backend::openPort("auto");
    std::printf("REFUSAL %s: %s\n", currentCase.c_str(), automatic.refusal.c_str());
    check(!automatic.port, "auto opened a port");
    check(contains(automatic.refusal, groupHint), "auto's refusal does not say: " + std::string(groupHint));
    const port::backend::OpenedPort named = port::backend::openPort("/dev/parport0");
    std::printf("REFUSAL %s: %s\n", currentCase.c_str(), named.refusal.c_str());
    check(!named.port, "/dev/parport0 was opened");
    check(contains(named.refusal, groupHint), "refusal does not say: " + std::string(groupHint));
    phase("end");
    return finish();
}

// STOP with no run alive: the idle pair, and nothing else.
void stopWhenIdle(port::backend::OpenedPort& opened)
{
    {
        port::record::RecordedPort recorded(*opened.port);
        port::backend::Module1 module(recorded);
        port::run::RunControl control(module, recorded.record(), {});
        phase("stop");
        const port::run::StopOutcome outcome = control.stop();
        check(outcome.kind == port::run::StopOutcome::Kind::IdleWritten, "STOP when idle did not write the idle pair");
        phase("stopped");
        printRecord(recorded.record());
        control.shutDown();
    }
}

// The port found and nothing touched; refusals (choice, part of its
// refusal) that must come while it is held; a second instance refused; STOP
// when idle writes the idle pair. On GPIO the chip is named by its label and
// the lines by their names.
int selectCase(std::initializer_list<std::pair<const char*, const char*>> refusals = {})
{
    phase("open");
    {
        port::backend::OpenedPort opened;
        if (!openUsual(opened))
            return finish();
        for (const auto& [choice, refusal] : refusals) {
            const port::backend::OpenedPort refused = port::backend::openPort(choice);
            std::printf("REFUSAL %s: %s\n", currentCase.c_str(), refused.refusal.c_str());
            check(!refused.port && contains(refused.refusal, refusal), std::string(choice) + " not refused");
        }
        const bool gpio = target.name != parallelPort.name;
        check(gpio ? secondInstanceRefused({gpioPort.choice}) : secondInstanceRefused({"auto", "/dev/parport0"}),
              "a second instance was not refused");
        stopWhenIdle(opened);
        phase("close");
    }
    phase("end");
    return finish();
}

// The error lines the run reports, as the window would show them.
std::mutex errorsMutex;
std::vector<std::string> errors;

struct ProgramStack {
    explicit ProgramStack(port::backend::Port& port)
        : recorded(port), module(recorded), control(module, recorded.record(), callbacks())
    {
        port::backend::CrashGuard::install(recorded);
    }

    static port::run::SequencerCallbacks callbacks()
    {
        port::run::SequencerCallbacks callbacks;
        callbacks.error = [](const std::string& line) {
            const std::lock_guard lock(errorsMutex);
            errors.push_back(line);
        };
        return callbacks;
    }

    // RUN; whether the first cycles went out.
    bool startRun()
    {
        phase("run");
        control.run(delayCount);
        return waitFor([this] { return control.readout().cycles; });
    }

    port::record::RecordedPort recorded;
    port::backend::Module1 module;
    port::run::RunControl control;
};

enum class Ending { Stop, ShutDown, TerminationSignal };

// RUN for a few cycles, then STOP, shutDown, or a SIGTERM taken by a thread
// of its own that takes the way out, as the program's signal thread has the
// window do.
int run(Ending ending)
{
    if (ending == Ending::TerminationSignal) {
        // Before any thread starts, so that every thread inherits the mask.
        sigset_t termination;
        sigemptyset(&termination);
        sigaddset(&termination, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &termination, nullptr);
    }
    phase("open");
    {
        port::backend::OpenedPort opened;
        if (!openUsual(opened))
            return finish();
        ProgramStack stack(*opened.port);
        port::run::RunControl& control = stack.control;
        check(stack.startRun(), "the run never wrote its cycles");
        if (ending == Ending::Stop) {
            // A second instance in the middle of the run: refused, and the
            // host finds nothing of it among the run's writes.
            check(secondInstanceRefused({target.choice}), "a second instance during the run was not refused");
            const std::uint64_t before = control.readout().cycles;
            check(waitFor([&control] { return control.readout().cycles; }, before + 1),
                  "the run did not go on after the second instance");
            const port::run::StopOutcome outcome = control.stop();
            check(outcome.kind == port::run::StopOutcome::Kind::AfterCycle, "STOP did not let the cycle complete");
            while (control.state() != port::run::SequencerState::Idle)
                std::this_thread::sleep_for(1ms);
            phase("stopped");
        } else if (ending == Ending::ShutDown) {
            control.shutDown();
            phase("down");
        } else {
            std::thread signalThread([&control] {
                sigset_t termination;
                sigemptyset(&termination);
                sigaddset(&termination, SIGTERM);
                int taken = 0;
                sigwait(&termination, &taken);
                control.shutDown();
            });
            phase("sigterm");
            kill(getpid(), SIGTERM);
            signalThread.join();
            phase("down");
        }
        std::printf("CYCLES %s: %llu\n", currentCase.c_str(),
                    static_cast<unsigned long long>(control.readout().cycles));
        if (ending == Ending::Stop && target.choice == parallelPort.choice) {
            // What the run's once-a-cycle check of the port costs here: one
            // ppdev ioctl that asks whether the kernel still has the port.
            // Emulated, so the figure bounds it from above; it writes nothing.
            std::printf("CHECKCOST %s: %.2f us\n", currentCase.c_str(),
                        microsecondsEach(10'000, [&] { stack.recorded.check(); }));
        }
        printRecord(stack.recorded.record());
        control.shutDown();
        phase("close");
    }
    phase("end");
    return finish();
}

// What a step's writes cost on the GPIO chip through the program's stack
// (the record above the back end, each write one set of every line): the
// idle pair again and again, which leaves the lines as they are.
int gpioCost()
{
    target = gpioPort;
    phase("open");
    port::backend::OpenedPort opened;
    if (!openUsual(opened))
        return finish();
    port::record::RecordedPort recorded(*opened.port);
    port::backend::Module1 module(recorded);
    phase("write");
    const double each = microsecondsEach(2'000, [&] {
        module.vbOut(port::backend::dataPort, port::pattern::idleData);
        module.vbOut(port::backend::controlPort, port::pattern::idleControl);
    });
    phase("end");
    std::printf("WRITECOST %s: %.2f us a step (its data and control writes, two sets)\n", currentCase.c_str(), each);
    return finish();
}

// The chip taken away during a run, as an unplugged USB adapter's driver
// does: the next set fails, the run ends with the port error said once, and
// nothing reaches the lines after.
int gpioRemoved()
{
    target = gpioPort;
    phase("open");
    {
        port::backend::OpenedPort opened;
        if (!openUsual(opened))
            return finish();
        ProgramStack stack(*opened.port);
        port::run::RunControl& control = stack.control;
        check(stack.startRun(), "the run never wrote its cycles");
        phase("remove");
        std::ofstream(std::string(gpioDebug) + "remove") << "1\n";
        check(waitFor([&control] { return control.readout().state == port::run::SequencerState::Idle ? 1U : 0U; }, 1),
              "the run did not end when the chip went away");
        phase("ended");
        const port::run::RunReadout readout = control.readout();
        check(readout.endCause == port::run::RunEndCause::PortFailed, "the run's end is not put down to the port");
        const std::lock_guard lock(errorsMutex);
        for (const std::string& line : errors)
            std::printf("ERROR %s: %s\n", currentCase.c_str(), line.c_str());
        check(errors.size() == 1, std::to_string(errors.size()) + " error lines, not one");
        check(!errors.empty() && contains(errors.front(), "gpiochip0 [fcgpio] stopped taking writes"),
              "the error line does not name the chip");
        printRecord(stack.recorded.record());
    }
    phase("end");
    return finish();
}

// One entry of the chip's log: "K NS REST" (tests/e2e/fcgpio).
struct ChipEntry {
    char kind = 0;
    std::string time;
    std::string rest;
};

std::vector<ChipEntry> chipLog()
{
    std::vector<ChipEntry> entries;
    std::ifstream log(std::string(gpioDebug) + "log");
    for (std::string line; std::getline(log, line);) {
        const std::size_t space = line.find(' ', 2);
        if (line.size() < 3 || space == std::string::npos)
            continue;
        entries.push_back({line[0], line.substr(2, space - 2), line.substr(space + 1)});
    }
    return entries;
}

// What the chip logged during case, from its first mark to the next case's.
int gpioLog(const std::string& wanted)
{
    bool inCase = false;
    std::ostringstream shown;
    // "M TEXT", "o LINE LEVEL" or "s LEVELS"
    for (ChipEntry& entry : chipLog()) {
        std::string& value = entry.rest;
        if (entry.kind == 'M') {
            inCase = value.starts_with(wanted + ":");
            std::ranges::replace(value, ' ', '_');
        } else if (entry.kind == 'o') {
            std::ranges::replace(value, ' ', '=');
        } else if (entry.kind == 's') {
            value.resize(gpioLinesShown);
        }
        if (inCase)
            shown << ' ' << entry.kind << ':' << value;
    }
    std::string levels;
    std::ifstream(std::string(gpioDebug) + "levels") >> levels;
    levels.resize(gpioLinesShown);
    std::printf("GPIOLOG %s:%s\nGPIOLEVELS %s: %s\n", wanted.c_str(), shown.str().c_str(), wanted.c_str(),
                levels.c_str());
    return 0;
}

// The keep-alive's line (12) as the chip logged it during case, with the
// chip's times: "GPIOKEEPALIVE case: M:phase@NS k:LEVEL@NS p:N@NS ...": the
// marks, each set that changed line 12 (X: one that also changed another
// line), and the count of the other sets (the pattern's) since the last
// token with the time of the last of them. Line 12 as a request's initial
// value: o:LEVEL@NS.
int gpioKeepAlive(const std::string& wanted)
{
    constexpr std::size_t keepAliveLine = 12;
    bool inCase = false;
    std::ostringstream shown;
    std::string levels(gpioLinesShown + 4, '0');  // the chip's 16 lines as the log leaves them
    int others = 0;
    std::string lastOther;
    const auto token = [&](const std::string& text) {
        if (!inCase)
            return;
        if (others > 0)
            shown << " p:" << others << '@' << lastOther;
        others = 0;
        if (!text.empty())
            shown << ' ' << text;
    };
    for (const ChipEntry& entry : chipLog()) {
        if (entry.kind == 'M') {
            token({});
            inCase = entry.rest.starts_with(wanted + ":");
            std::string mark = entry.rest.substr(std::min(entry.rest.size(), wanted.size() + 1));
            std::ranges::replace(mark, ' ', '_');
            token("M:" + mark + '@' + entry.time);
        } else if (entry.kind == 'o') {
            const std::size_t line = std::stoul(entry.rest);
            levels[line] = entry.rest.back();
            if (line == keepAliveLine)
                token(std::string("o:") + entry.rest.back() + '@' + entry.time);
        } else if (entry.kind == 's' && entry.rest.size() == levels.size()) {
            const std::string& after = entry.rest;
            const bool othersChanged = after.compare(0, gpioLinesShown, levels, 0, gpioLinesShown) != 0;
            if (after[keepAliveLine] != levels[keepAliveLine])
                token(std::string(othersChanged ? "X:" : "k:") + after[keepAliveLine] + '@' + entry.time);
            else if (inCase)
                ++others, lastOther = entry.time;
            levels = after;
        }
    }
    token({});
    std::printf("GPIOKEEPALIVE %s:%s\n", wanted.c_str(), shown.str().c_str());
    return 0;
}

// A crash while the step thread writes: the guard's idle pair is the last
// thing the program puts on the port.
int crash()
{
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    phase("open");
    port::backend::OpenedPort opened;
    if (!openUsual(opened))
        return finish();
    ProgramStack stack(*opened.port);
    if (!stack.startRun()) {
        check(false, "the run never wrote its cycles");
        std::_Exit(finish());
    }
    std::raise(SIGSEGV);
    check(false, "still alive after SIGSEGV");
    std::_Exit(finish());
}

// The port taken away during a run, as when a PCIe card or a USB adapter is
// removed: parport_pc is unbound from it, and the kernel leaves ppdev's
// descriptor with operations that take writes and read 0, without an error.
// A second descriptor of the port, opened before, asks ppdev whether the port
// is still there (PPGETMODES) before and after. The run must end.
int removed()
{
    phase("open");
    port::backend::OpenedPort opened;
    if (!openUsual(opened))
        return finish();
    const int watcher = ::open("/dev/parport0", O_RDWR | O_CLOEXEC);
    const auto stillThere = [watcher] {
        unsigned modes = 0;
        return ::ioctl(watcher, PPGETMODES, &modes) == 0 ? std::string("yes") : std::string(std::strerror(errno));
    };
    {
        ProgramStack stack(*opened.port);
        port::run::RunControl& control = stack.control;
        check(stack.startRun(), "the run never wrote its cycles");
        const std::string before = stillThere();
        std::string device;
        for (const auto& entry : std::filesystem::directory_iterator("/sys/bus/pnp/drivers/parport_pc"))
            if (entry.path().filename().string().find(':') != std::string::npos)
                device = entry.path().filename().string();
        const std::uint64_t cyclesBefore = control.readout().cycles;
        phase("remove");
        std::ofstream("/sys/bus/pnp/drivers/parport_pc/unbind") << device << std::flush;
        const std::string after = stillThere();
        const auto giveUp = std::chrono::steady_clock::now() + 2s;
        while (control.readout().state != port::run::SequencerState::Idle && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(1ms);
        const bool ended = control.readout().state == port::run::SequencerState::Idle;
        phase(ended ? "ended" : "went-on");
        const std::uint64_t cyclesAfter = control.readout().cycles - cyclesBefore;
        if (!ended) {
            control.stop();
            while (control.state() != port::run::SequencerState::Idle)
                std::this_thread::sleep_for(1ms);
        }
        int readBack = -1;
        try {
            readBack = stack.recorded.in(port::backend::controlPort);
        } catch (const port::backend::PortError&) {
        }
        std::printf("REMOVED %s: the port (%s) still there before: %s; after: %s; the run %s %llu cycles after; "
                    "the control register reads back 0x%02x afterwards, the last written 0x%02x\n",
                    currentCase.c_str(), device.c_str(), before.c_str(), after.c_str(),
                    ended ? "ended within" : "went on for 2 s,", static_cast<unsigned long long>(cyclesAfter),
                    static_cast<unsigned>(readBack), static_cast<unsigned>(port::pattern::idleControl));
        const std::lock_guard lock(errorsMutex);
        for (const std::string& line : errors)
            std::printf("ERROR %s: %s\n", currentCase.c_str(), line.c_str());
        check(ended && control.readout().endCause == port::run::RunEndCause::PortFailed,
              "the run did not end when the port went away");
        control.shutDown();
    }
    ::close(watcher);
    phase("end");
    return finish();
}

// A program of its own for the keep-alive case: the port (with the
// keep-alive on keepAlive) and the program's stack; it says on ready when
// it has toggled once, then takes RUN on 'R' and the way out on 'Q' read
// from commands; otherwise it idles, toggling.
[[noreturn]] void keepAliveProgram(int commands, int ready, const std::string& keepAlive)
{
    port::backend::OpenedPort opened = port::backend::openPort(target.choice, keepAlive);
    if (!opened.port || !opened.port->keepAlive())
        std::_Exit(3);
    std::printf("DESCRIPTION %s: %s\n", currentCase.c_str(), opened.description.c_str());
    std::fflush(stdout);
    {
        ProgramStack stack(*opened.port);
        waitFor([&stack] { return stack.recorded.keepAliveRecord().total(); }, 1);
        const ssize_t said = ::write(ready, "k", 1);
        static_cast<void>(said);  // a parent that missed it finds the program slow, no more
        char command = 0;
        while (::read(commands, &command, 1) == 1 && command != 'Q') {
            if (command == 'R')
                stack.control.run(delayCount);
        }
        stack.control.shutDown();
    }
    std::_Exit(0);
}

struct Program {
    pid_t pid = -1;
    int commands = -1;
    int ready = -1;

    // Until it has toggled once (emulation makes starting slow); false if it died first.
    bool toggling() const
    {
        char said = 0;
        return ::read(ready, &said, 1) == 1;
    }

    void send(char command) const
    {
        const ssize_t written = ::write(commands, &command, 1);
        check(written == 1, "a command did not reach the program");
    }
    // How it ended: its exit status, or 128 + the signal that ended it.
    int wait() const
    {
        int status = 0;
        if (waitpid(pid, &status, 0) != pid)
            return -1;
        return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    }
};

Program startProgram(const std::string& keepAlive)
{
    int commands[2];
    int ready[2];
    if (::pipe(commands) != 0 || ::pipe(ready) != 0)
        return {};
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        ::close(commands[1]);
        ::close(ready[0]);
        keepAliveProgram(commands[0], ready[1], keepAlive);
    }
    ::close(commands[0]);
    ::close(ready[1]);
    return {pid, commands[1], ready[0]};
}

// The keep-alive on the real drivers, read by the host from the trace (or
// the chip's log) with its times: a program toggling it at idle and through
// a run, killed (SIGKILL) in the run; nothing until a new program starts,
// which leaves the port idle before it toggles; that program stopped
// (SIGSTOP) in a run and continued (SIGCONT); its way out. Each phase lasts
// some 15 periods, the idle ones from the program's first toggle.
int keepAliveCase(const std::string& keepAlive)
{
    constexpr auto lasting = 150ms;
    phase("open");
    const Program first = startProgram(keepAlive);
    check(first.toggling(), "the first program never toggled");
    phase("idle");
    std::this_thread::sleep_for(lasting);
    phase("run");
    first.send('R');
    std::this_thread::sleep_for(lasting);
    phase("sigkill");
    kill(first.pid, SIGKILL);
    const int killed = first.wait();
    phase("killed");
    std::this_thread::sleep_for(lasting);
    phase("restart");
    const Program second = startProgram(keepAlive);
    check(second.toggling(), "the second program never toggled");
    std::this_thread::sleep_for(lasting);
    phase("run-again");
    second.send('R');
    std::this_thread::sleep_for(lasting);
    phase("sigstop");
    kill(second.pid, SIGSTOP);
    int status = 0;
    const bool stopped = waitpid(second.pid, &status, WUNTRACED) == second.pid && WIFSTOPPED(status);
    phase("stopped");
    std::this_thread::sleep_for(lasting);
    phase("sigcont");
    kill(second.pid, SIGCONT);
    std::this_thread::sleep_for(lasting);
    phase("exit");
    second.send('Q');
    const int exited = second.wait();
    phase("end");
    check(killed == 128 + SIGKILL, "the first program ended with " + std::to_string(killed) + ", not SIGKILL");
    check(stopped, "the second program was not stopped");
    check(exited == 0, "the second program ended with " + std::to_string(exited));
    return finish();
}

// libieee1284 alone, a phase a call: which of them reach the registers.
int libraryOpen()
{
    phase("find");
    parport_list list{};
    check(ieee1284_find_ports(&list, 0) == E1284_OK, "ieee1284_find_ports failed");
    parport* found = nullptr;
    for (int index = 0; index < list.portc; ++index)
        if (list.portv[index]->filename && std::string_view(list.portv[index]->filename) == "/dev/parport0")
            found = list.portv[index];
    check(found != nullptr, "/dev/parport0 not listed");
    if (found) {
        phase("open");
        int capabilities = 0;
        check(ieee1284_open(found, F1284_EXCL, &capabilities) == E1284_OK, "ieee1284_open failed");
        phase("claim");
        check(ieee1284_claim(found) == E1284_OK, "ieee1284_claim failed");
        phase("release");
        ieee1284_release(found);
        phase("close");
        ieee1284_close(found);
    }
    ieee1284_free_ports(&list);
    phase("end");
    return finish();
}

bool dropPrivileges(const char* identity)
{
    std::vector<gid_t> groups;
    std::vector<unsigned long> ids;
    const char* at = identity;
    while (*at) {
        char* end = nullptr;
        ids.push_back(std::strtoul(at, &end, 10));
        if (end == at || (*end != ':' && *end != '\0'))
            return false;
        at = *end == ':' ? end + 1 : end;
    }
    if (ids.size() < 2)
        return false;
    for (std::size_t index = 2; index < ids.size(); ++index)
        groups.push_back(static_cast<gid_t>(ids[index]));
    return setgroups(groups.size(), groups.data()) == 0 && setgid(static_cast<gid_t>(ids[1])) == 0 &&
           setuid(static_cast<uid_t>(ids[0])) == 0 && getuid() != 0;
}

int usage()
{
    std::fprintf(stderr, "usage: porttarget mark TEXT | porttarget gpiolog CASE | porttarget gpiokeepalive CASE | "
                         "porttarget [--as UID:GID[:GROUP...]] "
                         "outsider|select|run-stop|run-shutdown|crash|library-open|removed|keep-alive|gpio-select|"
                         "gpio-run-stop|gpio-run-sigterm|gpio-crash|gpio-cost|gpio-removed|gpio-keep-alive\n");
    return 2;
}

}  // namespace

int main(int argc, char* argv[])
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "mark") {
        mark(args[1]);
        return 0;
    }
    if (args.size() == 2 && args[0] == "gpiolog")
        return gpioLog(args[1]);
    if (args.size() == 2 && args[0] == "gpiokeepalive")
        return gpioKeepAlive(args[1]);
    if (args.size() == 3 && args[0] == "--as") {
        if (!dropPrivileges(args[1].c_str())) {
            std::fprintf(stderr, "porttarget: cannot become %s: %s\n", args[1].c_str(), std::strerror(errno));
            return 2;
        }
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.size() != 1)
        return usage();
    currentCase = args[0];
    if (currentCase == "outsider")
        return outsider();
    if (currentCase == "select")
        return selectCase();
    if (currentCase == "run-stop")
        return run(Ending::Stop);
    if (currentCase == "run-shutdown")
        return run(Ending::ShutDown);
    if (currentCase == "crash")
        return crash();
    if (currentCase == "library-open")
        return libraryOpen();
    if (currentCase == "removed")
        return removed();
    if (currentCase == "keep-alive")
        return keepAliveCase("17");
    if (currentCase == "gpio-select") {
        target = gpioByName;
        return selectCase({{"gpio:gpiochip9", "gpiochip9: no such GPIO chip"},
                           {"gpio:gpiochip0:0,1,2,3,4,5,6,7,16", "line 16 of gpiochip0 [fcgpio] (for C1) is out of range"}});
    }
    if (currentCase == "gpio-cost")
        return gpioCost();
    if (currentCase == "gpio-removed")
        return gpioRemoved();
    target = gpioPort;
    if (currentCase == "gpio-run-stop")
        return run(Ending::Stop);
    if (currentCase == "gpio-run-sigterm")
        return run(Ending::TerminationSignal);
    if (currentCase == "gpio-crash")
        return crash();
    if (currentCase == "gpio-keep-alive")
        return keepAliveCase("fc12");
    return usage();
}
