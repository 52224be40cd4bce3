// The signal thread: it reads the termination signals from a signalfd, asks
// the window to take the way out, and ends the run itself when the window
// does not answer. A second signal during the way out ends the program as
// soon as the port is idle, never before: the idle pair is what makes
// leaving safe.
#include "app/platform/terminationsignals.h"

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

namespace app::platform {

namespace {

constexpr std::array<int, 4> handled{SIGTERM, SIGINT, SIGHUP, SIGQUIT};

std::atomic<int> signalsSeen{0};
// Set once std::exit() has begun: the objects the forced way out uses may
// be going, and the process ends anyway.
std::atomic<bool> programExiting{false};

// Those of the handled signals that were not blocked when the program
// started: what a child or unblockInThisThread() takes back. Written once,
// before any other thread exists, then only read.
sigset_t blockedHere;
std::once_flag blockOnce;

sigset_t handledSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : handled)
        sigaddset(&set, signal);
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
        for (const int signal : handled)
            if (sigismember(&before, signal) == 0)
                sigaddset(&blockedHere, signal);
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
            if (signalsSeen.fetch_add(1) == 0) {
                firstSignal = static_cast<int>(info.ssi_signo);
                answerBy = Clock::now() + answerWait;
                QMetaObject::invokeMethod(this, &TerminationSignals::takeWayOut, Qt::QueuedConnection);
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

}  // namespace app::platform
