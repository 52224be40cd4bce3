// The guest side of the emulated-PC test (tests/e2e/run): the program's own
// port stack (port selection, the lock, the libieee1284 back end, the record,
// run control over the sequencer, the crash guard) on a real kernel's
// parport_pc + ppdev, one case a run.
//
//   porttarget mark TEXT
//   porttarget [--as UID:GID[:GROUP...]] CASE
//
// CASE is one of outsider, select, run-stop, run-shutdown, crash, and
// library-open, which calls libieee1284 alone to show which of its calls
// writes to the port. --as drops
// root for the given user and groups before anything else is done.
//
// Between the phases of a case it prints "@@case:phase@@" on its stdout, the
// emulated PC's serial line, and waits (tcdrain) until the UART has taken
// every character. QEMU traces the UART's and the parallel port's register
// writes in one stream, so on the host the markers cut the parallel port's
// writes into phases in the order they happened. It also prints
// "RECORD case: a=v ..." (the program's own record of its writes) and
// "RESULT case: ok" or "RESULT case: FAIL why". Exit status 0: every check
// made here passed; the register values are checked on the host.
#include "port/backend/crashguard.h"
#include "port/backend/module1.h"
#include "port/backend/port.h"
#include "port/backend/portselection.h"
#include "port/pattern/steppattern.h"
#include "port/record/recordedport.h"
#include "port/run/runcontrol.h"

#include <grp.h>
#include <ieee1284.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// 10 000 passes of 100 ns: a step of 1 ms, a cycle of 14 ms.
constexpr std::int64_t delayCount = 9'999;
constexpr std::uint64_t cyclesWanted = 3;
// Only a guard against a hung run, not a measure: emulation is slow.
constexpr auto longestWait = 300s;
constexpr std::string_view usualDescription = "Port: /dev/parport0 (0x378)";
constexpr std::string_view groupHint = "add the user to group lp";

std::string currentCase;
std::vector<std::string> failures;

void mark(const std::string& text)
{
    std::printf("@@%s@@\n", text.c_str());
    std::fflush(stdout);
    tcdrain(STDOUT_FILENO);  // every character through the UART before the next port write
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

// The usual port, opened the way the program opens it; false when it is not.
bool openUsual(port::backend::OpenedPort& opened)
{
    opened = port::backend::openPort("auto");
    std::printf("DESCRIPTION %s: %s\n", currentCase.c_str(), opened.description.c_str());
    std::fflush(stdout);
    check(opened.refusal.empty(), "refused: " + opened.refusal);
    check(opened.description == usualDescription, "description: " + opened.description);
    check(opened.port && opened.port->name() == "/dev/parport0", "not /dev/parport0");
    return opened.port && opened.refusal.empty() && opened.port->name() == "/dev/parport0";
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

// auto finds the port and touches nothing; a second instance is refused;
// STOP when idle writes the idle pair.
int selectCase()
{
    phase("open");
    {
        port::backend::OpenedPort opened;
        if (!openUsual(opened))
            return finish();

        // A second instance: another process that opens the port while this one holds it.
        std::fflush(stdout);
        const pid_t child = fork();
        if (child == 0) {
            const port::backend::OpenedPort second = port::backend::openPort("auto");
            const port::backend::OpenedPort named = port::backend::openPort("/dev/parport0");
            std::printf("REFUSAL %s: %s\n", currentCase.c_str(), second.refusal.c_str());
            std::fflush(stdout);
            const bool refused = !second.port && contains(second.refusal, "in use by another program") &&
                                 !named.port && contains(named.refusal, "in use by another program");
            std::_Exit(refused ? 0 : 1);
        }
        int status = 0;
        check(child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0,
              "a second instance was not refused");

        port::record::RecordedPort recorded(*opened.port);
        port::backend::Module1 module(recorded);
        port::run::RunControl control(module, recorded.record(), {});
        phase("stop");
        const port::run::StopOutcome outcome = control.stop();
        check(outcome.kind == port::run::StopOutcome::Kind::IdleWritten, "STOP when idle did not write the idle pair");
        phase("stopped");
        printRecord(recorded.record());
        control.shutDown();
        phase("close");
    }
    phase("end");
    return finish();
}

// The program's own stack over the opened port, as main.cpp wires it: the
// record above the back end, the crash guard on it, run control.
struct ProgramStack {
    explicit ProgramStack(port::backend::Port& port)
        : recorded(port), module(recorded), control(module, recorded.record(), {})
    {
        port::backend::CrashGuard::install(recorded);
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

// RUN for a few cycles, then STOP (stop) or shutDown (not stop).
int run(bool stop)
{
    phase("open");
    {
        port::backend::OpenedPort opened;
        if (!openUsual(opened))
            return finish();
        ProgramStack stack(*opened.port);
        port::run::RunControl& control = stack.control;
        check(stack.startRun(), "the run never wrote its cycles");
        if (stop) {
            // A second instance in the middle of the run: refused, and the
            // host finds nothing of it among the run's writes.
            std::fflush(stdout);
            const pid_t child = fork();
            if (child == 0) {
                const port::backend::OpenedPort second = port::backend::openPort("auto");
                std::printf("REFUSAL %s: %s\n", currentCase.c_str(), second.refusal.c_str());
                std::fflush(stdout);
                std::_Exit(!second.port && contains(second.refusal, "in use by another program") ? 0 : 1);
            }
            int status = 0;
            check(child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
                      WEXITSTATUS(status) == 0,
                  "a second instance during the run was not refused");
            const std::uint64_t before = control.readout().cycles;
            check(waitFor([&control] { return control.readout().cycles; }, before + 1),
                  "the run did not go on after the second instance");
            const port::run::StopOutcome outcome = control.stop();
            check(outcome.kind == port::run::StopOutcome::Kind::AfterCycle, "STOP did not let the cycle complete");
            while (control.state() != port::run::SequencerState::Idle)
                std::this_thread::sleep_for(1ms);
            phase("stopped");
        } else {
            control.shutDown();
            phase("down");
        }
        std::printf("CYCLES %s: %llu\n", currentCase.c_str(),
                    static_cast<unsigned long long>(control.readout().cycles));
        if (stop) {
            // What the run's once-a-cycle check of the port costs here: a
            // read-back of the control register through ppdev. Emulated, so
            // the figure bounds it from above; it writes nothing.
            constexpr int checks = 10'000;
            const auto started = std::chrono::steady_clock::now();
            for (int at = 0; at < checks; ++at)
                stack.recorded.check();
            const auto took = std::chrono::steady_clock::now() - started;
            std::printf("CHECKCOST %s: %.2f us\n", currentCase.c_str(),
                        std::chrono::duration<double, std::micro>(took).count() / checks);
        }
        printRecord(stack.recorded.record());
        control.shutDown();
        phase("close");
    }
    phase("end");
    return finish();
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
    std::fprintf(stderr, "usage: porttarget mark TEXT | porttarget [--as UID:GID[:GROUP...]] "
                         "outsider|select|run-stop|run-shutdown|crash|library-open\n");
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
        return run(true);
    if (currentCase == "run-shutdown")
        return run(false);
    if (currentCase == "crash")
        return crash();
    if (currentCase == "library-open")
        return libraryOpen();
    return usage();
}
