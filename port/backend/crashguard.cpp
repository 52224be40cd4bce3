// The crash handlers: idle pair first, then the crash goes on. Everything a
// handler reaches is async-signal-safe: lock-free atomics, clock_gettime,
// poll, write, signal, raise and the back end's writeIdleFromSignalHandler().
#include "port/backend/crashguard.h"

#include "port/backend/port.h"
#include "port/backend/signalname.h"

#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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

// Writes under way in the low bits. The top bits: every write refused from
// then on (sealed) and a handler writing the idle pair itself (taken over),
// each set once; writes held while the process is about to stop. One word,
// so a permit and a handler agree on their order without a lock.
constexpr std::uint32_t sealedBit = std::uint32_t{1} << 31;
constexpr std::uint32_t takenOverBit = std::uint32_t{1} << 30;
constexpr std::uint32_t heldBit = std::uint32_t{1} << 29;
constexpr std::uint32_t writersMask = heldBit - 1;

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

// Permits this thread holds: one held around a step's pair grants the two
// writes inside it even after the seal, so that the handler's wait lets the
// pair complete instead of splitting it. counted: the outermost one is in
// the gate's count of writers, until its end or a handler of this thread
// takes it out (the write under way will never end).
thread_local int permitsHeld = 0;
thread_local bool counted = false;

void uncount() noexcept
{
    if (!counted)
        return;
    counted = false;
    std::atomic_signal_fence(std::memory_order_seq_cst);  // a handler of this thread sees the flag first
    writeGate.fetch_sub(1, std::memory_order_acq_rel);
}

std::chrono::nanoseconds monotonicNow() noexcept
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// Until done() holds (true) or longest has passed (false).
template <typename Done>
bool waitUntil(Done done, std::chrono::nanoseconds longest = CrashGuard::writeWait) noexcept
{
    const std::chrono::nanoseconds start = monotonicNow();
    while (!done()) {
        const std::chrono::nanoseconds waited = monotonicNow() - start;
        if (waited >= longest)
            return false;
        // poll() is on POSIX's async-signal-safe list; nanosleep() is not.
        if (waited >= spinStretch)
            poll(nullptr, 0, napMilliseconds);
    }
    return true;
}

bool writersDone() noexcept
{
    return (writeGate.load(std::memory_order_acquire) & writersMask) == 0;
}

// Refuses every later write, with the reason bits, and waits for those
// under way: false when one has not ended within writeWait. A write of the
// calling thread is not waited for: the thread is here instead of ending it.
bool sealWrites(std::uint32_t bits) noexcept
{
    uncount();
    writeGate.fetch_or(sealedBit | bits, std::memory_order_acq_rel);
    return waitUntil(writersDone);
}

void say(const char* line) noexcept
{
    std::size_t length = 0;
    while (line[length] != '\0')
        ++length;
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line, length);
}

void leaveIdle() noexcept
{
    IdleState expected = IdleState::NotWritten;
    if (!idleState.compare_exchange_strong(expected, IdleState::Writing, std::memory_order_acq_rel)) {
        // Returning at once would let this crash end the process before the
        // other handler's pair is out; that one waits writeWait at most for
        // the writes under way, then writes.
        uncount();
        waitUntil([] { return idleState.load(std::memory_order_acquire) == IdleState::Written; },
                  2 * CrashGuard::writeWait);
        return;
    }
    Port* port = guardedPort.load(std::memory_order_acquire);
    const bool writesEnded = sealWrites(port ? takenOverBit : 0);
    if (port)
        port->writeIdleFromSignalHandler();
    idleState.store(IdleState::Written, std::memory_order_release);
    // After the pair: a closed pipe on stderr may end the process here.
    if (!writesEnded)
        say("frequency-converter: a port write under way had not ended after 100 ms; the idle pair went out "
            "after it anyway, so a step's pair may have been cut\n");
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

bool isFault(int number)
{
    return signalRoute(number) == SignalRoute::Fault;
}

void installHandlers()
{
    struct sigaction action {};
    action.sa_handler = onFatalSignal;
    // A fault inside the handler then finds its signal blocked, and the
    // kernel ends the process at once instead of nesting handlers.
    sigemptyset(&action.sa_mask);
    for (int number = 1; number <= lastClassicSignal; ++number)
        if (isFault(number))
            sigaddset(&action.sa_mask, number);
    // SA_ONSTACK: the alternate stack, so that a stack overflow still runs it.
    // Not SA_RESETHAND: another thread that faults the same way while this
    // handler waits would meet the default action and end the process
    // before the idle pair. The handler puts the default back itself.
    action.sa_flags = SA_ONSTACK;
    for (int number = 1; number <= lastClassicSignal; ++number)
        if (isFault(number) && sigaction(number, &action, nullptr) != 0)
            throw std::system_error(errno, std::generic_category(),
                                    std::string("setting up the crash guard failed: sigaction(") +
                                        signalName(number) + ")");
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
    sealWrites(0);
}

bool CrashGuard::holdWrites() noexcept
{
    writeGate.fetch_or(heldBit, std::memory_order_acq_rel);
    return waitUntil(writersDone);
}

void CrashGuard::resumeWrites() noexcept
{
    writeGate.fetch_and(~heldBit, std::memory_order_acq_rel);
}

void CrashGuard::protectThisThread()
{
    thread_local AlternateStack stack;
}

// Only the outermost permit of a thread counts it among the writers: the
// handler waits for that one, which outlives those nested in it. So a step
// (the sequencer's permit, the record's and the back end's around each of
// its two writes) makes two locked instructions instead of ten. A held
// gate lets the permit wait uncounted, so that a seal does not wait for it.
CrashGuard::WritePermit::WritePermit() noexcept : counted_(permitsHeld == 0)
{
    ++permitsHeld;
    if (!counted_)
        return;
    for (;;) {
        const std::uint32_t gate = writeGate.fetch_add(1, std::memory_order_acq_rel);
        counted = true;
        if ((gate & sealedBit) != 0) {
            refusal_ = (gate & takenOverBit) != 0 ? Refusal::TakenOver : Refusal::Sealed;
            return;
        }
        if ((gate & heldBit) == 0)
            return;
        uncount();
        while ((writeGate.load(std::memory_order_acquire) & (heldBit | sealedBit)) == heldBit)
            poll(nullptr, 0, napMilliseconds);
    }
}

CrashGuard::WritePermit::~WritePermit()
{
    --permitsHeld;
    if (counted_)
        uncount();
}

}  // namespace port::backend
