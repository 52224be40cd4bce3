// The signal thread: it reads the program's signals from a signalfd, asks
// the window to take the way out, and ends the run itself when the window
// does not answer. A second signal during the way out ends the program as
// soon as the port is idle, never before: the idle pair is what makes
// leaving safe. Ctrl+Z stops the run from here and stops the process only
// once the port is idle.
#include "app/platform/terminationsignals.h"

#include "port/backend/crashguard.h"
#include "port/backend/signalname.h"
#include "port/run/runcontrol.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <pthread.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace app::platform {

namespace {

std::atomic<int> signalsSeen{0};
// Set once std::exit() has begun: the objects the forced way out uses may
// be going, and the process ends anyway.
std::atomic<bool> programExiting{false};

// Those of the handled signals that were not blocked when the program
// started: what a child or unblockInThisThread() takes back; and SIGPIPE's
// action then. Written once, before any other thread exists, then only read.
sigset_t blockedHere;
sighandler_t brokenPipeAction = SIG_DFL;
std::once_flag blockOnce;

bool taken(int number)
{
    const port::backend::SignalRoute route = port::backend::signalRoute(number);
    return route == port::backend::SignalRoute::WayOut || route == port::backend::SignalRoute::StopThenHalt;
}

// Built from each signal's route, not listed: every signal that would end
// or stop the process and is not a fault, SIGXCPU or SIGPIPE.
sigset_t handledSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (int number = 1; number <= port::backend::lastClassicSignal; ++number)
        if (taken(number))
            sigaddset(&set, number);
    for (int number = SIGRTMIN; number <= SIGRTMAX; ++number)
        sigaddset(&set, number);
    return set;
}

// Runs in a child made by fork(), where only async-signal-safe calls are
// allowed; pthread_sigmask is one. A child that exec()s another program
// would otherwise pass the blocked mask on, and that program would never
// hear SIGTERM or Ctrl+C. posix_spawn() and vfork() run no fork handlers
// (glibc's system() and popen() use them): a launcher of that kind must
// set the child's mask itself (POSIX_SPAWN_SETSIGMASK). The program starts
// no child process today.
extern "C" void unblockInChild()
{
    pthread_sigmask(SIG_UNBLOCK, &blockedHere, nullptr);
    signal(SIGPIPE, brokenPipeAction);
}

extern "C" void markExiting()
{
    programExiting.store(true, std::memory_order_release);
}

void say(const char* line)
{
    // write(2), not stdio: a window thread hung inside stdio holds its lock.
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line, std::strlen(line));
}

} // namespace

void TerminationSignals::blockInEveryThread()
{
    std::call_once(blockOnce, [] {
        const sigset_t set = handledSet();
        sigset_t before;
        pthread_sigmask(SIG_BLOCK, &set, &before);
        sigemptyset(&blockedHere);
        for (int number = 1; number <= SIGRTMAX; ++number)
            if (sigismember(&set, number) == 1 && sigismember(&before, number) == 0)
                sigaddset(&blockedHere, number);
        // A line on stderr to a reader that has gone (a pipe into head, a
        // restarted log collector) fails with EPIPE instead.
        brokenPipeAction = signal(SIGPIPE, SIG_IGN);
        pthread_atfork(nullptr, nullptr, unblockInChild);
    });
}

void TerminationSignals::unblockInThisThread()
{
    pthread_sigmask(SIG_UNBLOCK, &blockedHere, nullptr);
}

TerminationSignals::TerminationSignals(std::function<void()> wayOut, port::run::RunControl& control, QObject* parent)
    : QObject(parent)
    , wayOut_(std::move(wayOut))
    , control_(control)
{
    // Where main() has not blocked them already, at least this thread no
    // longer takes them.
    blockInEveryThread();
    const sigset_t set = handledSet();
    int failure = 0;
    signalFd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd_ < 0)
        failure = errno;
    wakeFd_ = eventfd(0, EFD_CLOEXEC);
    if (wakeFd_ < 0 && failure == 0)
        failure = errno;
    if (failure == 0) {
        try {
            thread_ = std::thread([this] { watch(); });
        } catch (const std::system_error& error) {
            failure = error.code().value();
        }
    }
    if (failure != 0) {
        std::fprintf(stderr, "frequency-converter: ERROR: no thread for termination signals (%s); "
                             "SIGTERM and Ctrl+C will end the program without leaving the port idle\n",
                     std::strerror(failure));
        unblockInThisThread();
        return;
    }
    pthread_setname_np(thread_.native_handle(), "fc-signals");
    static std::once_flag atExitOnce;
    std::call_once(atExitOnce, [] { std::atexit(markExiting); });
}

TerminationSignals::~TerminationSignals()
{
    if (thread_.joinable()) {
        ending_.store(true, std::memory_order_release);
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
        thread_.join();
    }
    if (signalFd_ >= 0)
        close(signalFd_);
    if (wakeFd_ >= 0)
        close(wakeFd_);
}

void TerminationSignals::reloadNow()
{
    if (reload_)
        reload_();
}

void TerminationSignals::reloadOnHangUp(std::function<void()> reload)
{
    reload_ = std::move(reload);
    hangUpReloads_.store(static_cast<bool>(reload_), std::memory_order_release);
}

int TerminationSignals::received()
{
    return signalsSeen.load(std::memory_order_acquire);
}

void TerminationSignals::takeWayOut()
{
    if (wayOut_)
        wayOut_();
    WayOut expected = WayOut::Waiting;
    if (!wayOutState_.compare_exchange_strong(expected, WayOut::Taken))
        return;  // too late: the signal thread has taken over and ends the program
    if (received() > 1)
        _exit(0);  // a second signal came while the port was being left idle
    QCoreApplication::exit(0);
}

void TerminationSignals::watch()
{
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> answerBy;  // from the first signal on
    int firstSignal = 0;
    for (;;) {
        int timeout = -1;
        if (answerBy && wayOutState_.load() == WayOut::Waiting) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*answerBy - Clock::now());
            timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
        }
        std::array<pollfd, 2> ends{{{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}}};
        const int ready = poll(ends.data(), ends.size(), timeout);
        if (ready < 0 && errno != EINTR && errno != ENOMEM) {
            std::fprintf(stderr, "frequency-converter: ERROR: waiting for termination signals failed (%s); "
                                 "they are no longer answered\n", std::strerror(errno));
            return;
        }
        if (ending_.load(std::memory_order_acquire))
            return;
        signalfd_siginfo info{};
        if (ready > 0 && (ends[0].revents & POLLIN) != 0
            && ::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            const int number = static_cast<int>(info.ssi_signo);
            if (port::backend::signalRoute(number) == port::backend::SignalRoute::StopThenHalt) {
                if (received() == 0)  // else the program is on its way out: it ends idle anyway
                    stopThenHalt(number);
            } else if (number == SIGHUP && hangUpReloads_.load(std::memory_order_acquire)) {
                QMetaObject::invokeMethod(this, "reloadNow", Qt::QueuedConnection);
            } else if (signalsSeen.fetch_add(1) == 0) {
                firstSignal = number;
                answerBy = Clock::now() + answerWait;
                QMetaObject::invokeMethod(this, "takeWayOut", Qt::QueuedConnection);
            } else if (wayOutState_.load() == WayOut::Taken) {
                _exit(0);  // the way out has left the port idle
            }
        }
        if (answerBy && Clock::now() >= *answerBy && !programExiting.load(std::memory_order_acquire)) {
            WayOut expected = WayOut::Waiting;
            if (wayOutState_.compare_exchange_strong(expected, WayOut::Forced))
                endFromSignalThread(firstSignal);
        }
    }
}

// The window may still be inside its own way out (joining a step thread
// that does not end); forceIdle works beside it. Either the step thread has
// written the idle pair when it returns, or it has written it itself to the
// port the crash guard guards and nothing can follow: both end here.
void TerminationSignals::endFromSignalThread(int signalNumber)
{
    const bool alive = control_.state() != port::run::SequencerState::Idle;
    const bool endedByStepThread = control_.forceIdle(port::run::RunEndCause::Signal, idleWait);
    std::array<char, 128> how{};
    if (!alive)
        std::snprintf(how.data(), how.size(), "no run was alive; the program was ended from the signal thread");
    else if (endedByStepThread)
        std::snprintf(how.data(), how.size(), "the run was ended from the signal thread");
    else
        std::snprintf(how.data(), how.size(),
                      "the run was ended from the signal thread, which wrote the idle pair itself (the step "
                      "thread had not within %lld ms)", static_cast<long long>(idleWait.count()));
    std::array<char, 320> line{};
    std::snprintf(line.data(), line.size(), "frequency-converter: the window did not answer %s within %lld s; %s\n",
                  port::backend::signalName(signalNumber), static_cast<long long>(answerWait.count()), how.data());
    say(line.data());
    _exit(0);
}

// Ctrl+Z: STOP as a remote client's is taken, from this thread and never
// waiting for the window's, which hears of it through the run adapter's
// bell. Once the port is idle, writes are held, so that a RUN taken in the
// moment before the process stops cannot put a step on the port; they go
// on after SIGCONT. A port that is not idle in time keeps the program going:
// stopped, it would hold a step for as long as nobody types fg, while going
// on, STOP, EXIT and the signals can still end the run.
void TerminationSignals::stopThenHalt(int signalNumber)
{
    using Clock = std::chrono::steady_clock;
    const bool alive = control_.state() != port::run::SequencerState::Idle;
    const auto giveUp = Clock::now() + stopWait;
    bool held = false;
    while (!held && Clock::now() < giveUp) {
        control_.stopHeld();
        if (control_.state() == port::run::SequencerState::Idle) {
            held = port::backend::CrashGuard::holdWrites() && control_.state() == port::run::SequencerState::Idle;
            if (!held)
                port::backend::CrashGuard::resumeWrites();  // a run started meanwhile: stop that one too
        }
        if (!held)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::array<char, 320> line{};
    const char* name = port::backend::signalName(signalNumber);
    if (!held) {
        std::snprintf(line.data(), line.size(),
                      "frequency-converter: %s: the port was not idle within %lld ms, so the program does not stop "
                      "(stopped, it would hold a step on the port); STOP, EXIT and SIGTERM still end the run\n",
                      name, static_cast<long long>(stopWait.count()));
        say(line.data());
        return;
    }
    std::snprintf(line.data(), line.size(), "frequency-converter: %s: %s; the program stops now (fg or SIGCONT "
                  "continues it)\n", name, alive ? "the run was stopped and the port left idle" : "no run was alive");
    say(line.data());
    kill(getpid(), SIGSTOP);  // this thread stops here too, until SIGCONT
    port::backend::CrashGuard::resumeWrites();
}

}  // namespace app::platform
