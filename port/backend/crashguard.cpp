// The crash handlers: idle pair first, then the crash goes on. Everything a
// handler reaches is async-signal-safe: lock-free atomics, clock_gettime,
// poll, signal, raise and the back end's writeIdleFromSignalHandler().
#include "port/backend/crashguard.h"

#include "port/backend/port.h"
#include "port/backend/signalname.h"

#include <poll.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <system_error>

namespace port::backend {

namespace {

constexpr std::array<int, 5> fatalSignals{SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

// Writes under way in the low bits; the top bit, set once by the first crash
// handler, refuses every write after it. One word, so a permit and the
// handler agree on their order without a lock.
constexpr std::uint32_t sealedBit = std::uint32_t{1} << 31;
constexpr std::uint32_t writersMask = sealedBit - 1;

// The first handler writes the idle pair; later ones (another thread crashing
// meanwhile, or abort() after the terminate handler) wait for it.
enum class IdleState { NotWritten, Writing, Written };

std::atomic<Port*> guardedPort{nullptr};
std::atomic<bool> installed{false};
std::atomic<std::uint32_t> writeGate{0};
std::atomic<IdleState> idleState{IdleState::NotWritten};
std::atomic<std::terminate_handler> previousTerminate{nullptr};

// A handler may only use what is lock-free.
static_assert(std::atomic<Port*>::is_always_lock_free);
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
static_assert(std::atomic<IdleState>::is_always_lock_free);

// A write ends within microseconds: spin that long, then nap.
constexpr std::chrono::milliseconds spinStretch{1};
constexpr int napMilliseconds = 1;

std::chrono::nanoseconds monotonicNow() noexcept
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// Until done() holds or CrashGuard::writeWait has passed.
template <typename Done>
void waitUntil(Done done) noexcept
{
    const std::chrono::nanoseconds start = monotonicNow();
    while (!done()) {
        const std::chrono::nanoseconds waited = monotonicNow() - start;
        if (waited >= CrashGuard::writeWait)
            return;
        // poll() is on POSIX's async-signal-safe list; nanosleep() is not.
        if (waited >= spinStretch)
            poll(nullptr, 0, napMilliseconds);
    }
}

void sealWrites() noexcept
{
    writeGate.fetch_or(sealedBit, std::memory_order_acq_rel);
    waitUntil([] { return (writeGate.load(std::memory_order_acquire) & writersMask) == 0; });
}

void leaveIdle() noexcept
{
    IdleState expected = IdleState::NotWritten;
    if (!idleState.compare_exchange_strong(expected, IdleState::Writing, std::memory_order_acq_rel)) {
        // Returning at once would let this crash end the process before the
        // other handler's pair is out.
        waitUntil([] { return idleState.load(std::memory_order_acquire) == IdleState::Written; });
        return;
    }
    sealWrites();
    if (Port* port = guardedPort.load(std::memory_order_acquire))
        port->writeIdleFromSignalHandler();
    idleState.store(IdleState::Written, std::memory_order_release);
}

void onFatalSignal(int signalNumber)
{
    const int savedErrno = errno;
    leaveIdle();
    // Back to the default action and raised again: the signal stays pending
    // (it is blocked inside its own handler) and ends the process as soon as
    // the handler returns, as it would have without us; a fault re-executes
    // its instruction and faults again.
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
    errno = savedErrno;
}

[[noreturn]] void onTerminate() noexcept
{
    leaveIdle();
    // The runtime's own handler names the exception that ended the program.
    if (const std::terminate_handler previous = previousTerminate.load(std::memory_order_acquire))
        previous();
    std::abort();
}

// A thread's alternate signal stack, taken away again as the thread ends.
class AlternateStack {
public:
    AlternateStack()
        : bytes_(std::max(CrashGuard::alternateStackBytes, static_cast<std::size_t>(SIGSTKSZ))),
          memory_(std::make_unique<char[]>(bytes_))
    {
        stack_t stack{};
        stack.ss_sp = memory_.get();
        stack.ss_size = bytes_;
        if (sigaltstack(&stack, nullptr) != 0)
            throw std::system_error(errno, std::generic_category(),
                                    "setting up the crash guard failed: sigaltstack of " +
                                        std::to_string(bytes_) + " bytes");
    }
    ~AlternateStack()
    {
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
    }
    AlternateStack(const AlternateStack&) = delete;
    AlternateStack& operator=(const AlternateStack&) = delete;

private:
    std::size_t bytes_;
    std::unique_ptr<char[]> memory_;
};

void installHandlers()
{
    struct sigaction action {};
    action.sa_handler = onFatalSignal;
    // A fault inside the handler then finds its signal blocked, and the
    // kernel ends the process at once instead of nesting handlers.
    sigemptyset(&action.sa_mask);
    for (const int fatal : fatalSignals)
        sigaddset(&action.sa_mask, fatal);
    // SA_RESETHAND: once it has run, the default action is back.
    // SA_ONSTACK: the alternate stack, so that a stack overflow still runs it.
    action.sa_flags = SA_RESETHAND | SA_ONSTACK;
    for (const int fatal : fatalSignals)
        if (sigaction(fatal, &action, nullptr) != 0)
            throw std::system_error(errno, std::generic_category(),
                                    std::string("setting up the crash guard failed: sigaction(") +
                                        signalName(fatal) + ")");
    previousTerminate.store(std::set_terminate(onTerminate), std::memory_order_release);
}

}  // namespace

void CrashGuard::install(Port& port)
{
    guardedPort.store(&port, std::memory_order_release);
    if (installed.exchange(true, std::memory_order_acq_rel))
        return;
    try {
        protectThisThread();
        installHandlers();
    } catch (...) {
        installed.store(false, std::memory_order_release);
        throw;
    }
}

void CrashGuard::clear() noexcept
{
    guardedPort.store(nullptr, std::memory_order_release);
}

void CrashGuard::forget(Port& port) noexcept
{
    Port* expected = &port;
    guardedPort.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
}

void CrashGuard::leaveIdleNow() noexcept
{
    leaveIdle();
}

void CrashGuard::seal() noexcept
{
    sealWrites();
}

void CrashGuard::protectThisThread()
{
    thread_local AlternateStack stack;
}

namespace {
// Permits this thread holds: one held around a step's pair grants the two
// writes inside it even after the seal, so that the handler's wait lets the
// pair complete instead of splitting it.
thread_local int permitsHeld = 0;
}  // namespace

// Only the outermost permit of a thread counts it among the writers: the
// handler waits for that one, which outlives those nested in it. So a step
// (the sequencer's permit, the record's and the back end's around each of
// its two writes) makes two locked instructions instead of ten.
CrashGuard::WritePermit::WritePermit() noexcept
    : granted_(permitsHeld > 0 || (writeGate.fetch_add(1, std::memory_order_acq_rel) & sealedBit) == 0),
      counted_(permitsHeld == 0)
{
    ++permitsHeld;
}

CrashGuard::WritePermit::~WritePermit()
{
    --permitsHeld;
    if (counted_)
        writeGate.fetch_sub(1, std::memory_order_acq_rel);
}

}  // namespace port::backend
