// Runs the real run adapter with the program's termination signals
// taken by their own thread, on a port that sends every write to stdout as
// one 3-byte record (address low byte, address high byte, value), for
// tst_termination. The crash guard guards the port, as in the program, so
// that the signal thread's own idle pair reaches stdout too.
//
//   signaltarget DELAYCOUNT [slow-way-out|stuck-window|stuck-write|run-late|exit|quick-exit|stderr-gone|sealed]
//
// Says "running" on stderr once two steps are out (at 1 Hz the loop then
// sleeps in the second step's dwell). With slow-way-out the
// idle data write of the way out says "leaving" and waits for a second
// signal, so that it comes while the port is being left idle. With
// stuck-window the window's thread then says "window stuck" and sleeps in a
// queued call, so that it answers nothing. With stuck-write a data write of
// the fourth cycle says "write stuck" and never goes out, so that the step
// thread never writes the idle pair and the window's way out never ends.
// With run-late the window's thread is stuck too, and its stderr a full
// pipe, so that the signal thread's last line never goes out and the
// program stays between the forced way out and its end; once the idle pair
// has gone out the window's thread asks for RUN, as a queued RUN taken late
// would, then says "ran late" on stdout's records as a write to 0xFFFF.
// With exit and quick-exit the window's thread calls that with status 3.
// With stderr-gone a line goes to stderr made a pipe whose reader has gone,
// then a write to 0xFFFE on stdout's records. With sealed the port is sealed
// under the run; once it has ended, STOP says whether it "wrote nothing",
// then the forced way out ends the program.
// Says "event loop ended" when exec() returns.
#include "app/platform/terminationsignals.h"
#include "app/window/runadapter.h"
#include "piperecord.h"
#include "port/backend/crashguard.h"
#include "port/backend/module1.h"
#include "port/backend/port.h"
#include "port/pattern/steppattern.h"
#include "port/record/recordedport.h"
#include "port/run/exitguard.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>

namespace {

// The slow idle write waits this long at most for the test's second signal.
constexpr auto secondSignalWait = std::chrono::seconds(20);
// A stuck window or write holds this long, far beyond the test's patience:
// only the signal thread can end the program in that time.
constexpr auto stuckFor = std::chrono::seconds(60);
// The data write of the fourth step in the fourth cycle.
constexpr std::uint64_t stuckWrite = 3 * port::pattern::writesPerCycle + 3 * port::pattern::writesPerStep;
// The heartbeat watch would end a run in a frozen window too: here it never
// does, so that what ends the run is the signal thread.
constexpr auto noSilenceLimit = std::chrono::hours(1);

enum class Mode { Plain, SlowWayOut, StuckWindow, StuckWrite, RunLate, Exit, QuickExit, StderrGone, Sealed };

// run-late: the idle pair has gone out since the signal.
std::atomic<bool> leftIdle{false};
constexpr std::uint16_t ranLateMark = 0xFFFF;
constexpr std::uint16_t saidMark = 0xFFFE;

// Makes fd a pipe nobody reads, full: a write to it waits for ever.
void blockWrites(int fd)
{
    int ends[2];
    if (pipe2(ends, O_NONBLOCK) != 0)
        return;
    const std::array<char, 4096> junk{};
    while (::write(ends[1], junk.data(), junk.size()) > 0) {
    }
    fcntl(ends[1], F_SETFL, 0);
    dup2(ends[1], fd);
}

void say(const char* line)
{
    const std::size_t length = std::strlen(line);
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line, length);
}

class SignalledPort : public PipePort {
public:
    explicit SignalledPort(Mode mode) : PipePort(STDOUT_FILENO), mode_(mode) {}

    void out(std::uint16_t address, std::uint8_t value) override
    {
        if (mode_ == Mode::SlowWayOut && address == port::backend::dataPort && value == port::pattern::idleData) {
            say("leaving\n");
            const auto giveUp = std::chrono::steady_clock::now() + secondSignalWait;
            while (app::platform::TerminationSignals::received() < 2 && std::chrono::steady_clock::now() < giveUp)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // The idle pair: no step writes data 0.
        if (mode_ == Mode::RunLate && app::platform::TerminationSignals::received() > 0 &&
            address == port::backend::controlPort && lastData_ == port::pattern::idleData)
            leftIdle.store(true);
        if (address == port::backend::dataPort)
            lastData_ = value;
        if (mode_ == Mode::StuckWrite && writes_++ == stuckWrite) {
            say("write stuck\n");
            std::this_thread::sleep_for(stuckFor);
            return;
        }
        put(address, value);
    }
    // Straight to the records, whatever the crash guard says.
    void mark(std::uint16_t address) { put(address, 0); }

private:
    Mode mode_;
    std::uint8_t lastData_ = 0xFF;
    std::uint64_t writes_ = 0;  // the step thread's, the only writer while a run is alive
};

std::optional<Mode> modeNamed(const char* name)
{
    constexpr std::array<std::pair<const char*, Mode>, 8> modes{{{"slow-way-out", Mode::SlowWayOut},
                                                                 {"stuck-window", Mode::StuckWindow},
                                                                 {"stuck-write", Mode::StuckWrite},
                                                                 {"run-late", Mode::RunLate},
                                                                 {"exit", Mode::Exit}, {"quick-exit", Mode::QuickExit},
                                                                 {"stderr-gone", Mode::StderrGone}, {"sealed", Mode::Sealed}}};
    for (const auto& [known, mode] : modes)
        if (std::strcmp(name, known) == 0)
            return mode;
    return std::nullopt;
}

}  // namespace

int main(int argc, char* argv[])
{
    app::platform::TerminationSignals::blockInEveryThread();  // as the program does, before any thread
    if (argc < 2)
        return 2;
    const std::int64_t delayCount = std::strtoll(argv[1], nullptr, 10);
    const std::optional<Mode> named = argc > 2 ? modeNamed(argv[2]) : Mode::Plain;
    if (!named)
        return 2;
    const Mode mode = *named;
    // The faults it is sent leave no core file behind.
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    QCoreApplication application(argc, argv);
    SignalledPort pipe(mode);
    port::record::RecordedPort recorded(pipe);
    port::backend::CrashGuard::install(recorded);
    port::backend::Module1 module(recorded);
    app::window::RunAdapter adapter(module, recorded.record(), {}, nullptr, noSilenceLimit);
    app::platform::TerminationSignals terminationSignals([&adapter] { adapter.shutDown(); }, adapter.control());
    port::run::ExitGuard::install();
    adapter.run(delayCount);
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (recorded.record().total() >= 2 * port::pattern::writesPerStep) {
            say("running\n");
            watch.stop();
            if (mode == Mode::StuckWindow)
                QMetaObject::invokeMethod(
                    &application,
                    [] {
                        say("window stuck\n");
                        std::this_thread::sleep_for(stuckFor);
                    },
                    Qt::QueuedConnection);
            if (mode == Mode::RunLate)
                QMetaObject::invokeMethod(
                    &application,
                    [&adapter, &pipe, delayCount] {
                        say("window stuck\n");
                        blockWrites(STDERR_FILENO);
                        while (!leftIdle.load())
                            std::this_thread::sleep_for(std::chrono::milliseconds(1));
                        // Long after the signal thread has seen the run end.
                        std::this_thread::sleep_for(std::chrono::milliseconds(100));
                        adapter.control().run(delayCount);
                        std::this_thread::sleep_for(std::chrono::milliseconds(100));
                        pipe.mark(ranLateMark);
                        std::this_thread::sleep_for(stuckFor);
                    },
                    Qt::QueuedConnection);
            if (mode == Mode::Exit)
                std::exit(3);
            if (mode == Mode::QuickExit)
                std::quick_exit(3);
            if (mode == Mode::StderrGone) {
                int ends[2];
                if (::pipe(ends) == 0 && ::close(ends[0]) == 0 && dup2(ends[1], STDERR_FILENO) >= 0)
                    std::fprintf(stderr, "a line nobody reads, as a remote client's audit line\n");
                pipe.mark(saidMark);
            }
            if (mode == Mode::Sealed) {
                port::backend::CrashGuard::seal();
                while (adapter.state() != port::run::SequencerState::Idle)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                if (adapter.control().stop().kind != port::run::StopOutcome::Kind::IdleWritten)
                    say("STOP wrote nothing\n");
                adapter.control().forceIdle(port::run::RunEndCause::Signal, std::chrono::milliseconds(200));
                _exit(0);
            }
        }
    });
    watch.start(1);
    const int status = application.exec();
    say("event loop ended\n");
    return status;
}
