// The step thread: its set-up, the state machine it shares with run/stop/
// shutDown, and the cycle with its sleep-then-spin dwell.
#include "port/run/sequencer.h"

#include "port/backend/crashguard.h"
#include "port/pattern/steppattern.h"
#include "port/run/threadpinning.h"

#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <exception>
#include <mutex>
#include <system_error>
#include <utility>

namespace port::run {

namespace {

using namespace std::chrono_literals;

// The deepest the step path's calls go, with room to spare: touched and
// locked before the first step, so no page fault ever holds a step.
constexpr std::size_t stackReserve = 64 * 1024;
constexpr std::size_t pageSize = 4096;

// Wake-ups measured before the first run, so the margin fits this machine
// and this priority from the first step on.
constexpr int calibrationSleeps = static_cast<int>(WakeMargin::window);
constexpr auto calibrationSleep = 50us;

// A normal thread's sleeps end up to 50 us late by default, on purpose, to
// batch wake-ups; the step thread wants its deadlines.
constexpr unsigned long exactTimerSlack = 1;

// The sequencers alive in the process, for a signal handler to reach.
constexpr std::size_t registrySize = 8;
std::array<std::atomic<Sequencer*>, registrySize> registry{};
static_assert(std::atomic<Sequencer*>::is_always_lock_free);

void enlist(Sequencer* sequencer) noexcept
{
    for (auto& slot : registry) {
        Sequencer* empty = nullptr;
        if (slot.compare_exchange_strong(empty, sequencer, std::memory_order_acq_rel))
            return;
    }
}

void strike(Sequencer* sequencer) noexcept
{
    for (auto& slot : registry) {
        Sequencer* expected = sequencer;
        slot.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
    }
}

// SIGXCPU: the kernel's real-time CPU limit (RLIMIT_RTTIME) or the CPU time
// limit (RLIMIT_CPU) has passed its soft value, and the hard one comes next
// with SIGKILL, which nothing can catch. End every run now, so that the idle
// pair goes out while it still can; the step thread then blocks, which
// starts the real-time count again. The kernel has raised the soft limit as
// it sent the signal: set it back, so that the next runaway trips here too.
extern "C" void onCpuLimit(int)
{
    const int savedErrno = errno;
    Sequencer::endAllRuns(RunEndCause::CpuLimit);
    restoreRealtimeTimeLimit();
    errno = savedErrno;
}

void catchCpuLimit() noexcept
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = onCpuLimit;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGXCPU, &action, nullptr);
    });
}

// Minor and major faults of the calling thread so far.
std::int64_t threadPageFaults() noexcept
{
    rusage usage{};
    if (getrusage(RUSAGE_THREAD, &usage) != 0)
        return -1;
    return usage.ru_minflt + usage.ru_majflt;
}

[[gnu::noinline]] void prefaultStack() noexcept
{
    volatile unsigned char reserve[stackReserve];
    for (std::size_t at = 0; at < stackReserve; at += pageSize)
        reserve[at] = 0;
    // Where the whole process could not be locked, lock at least these pages.
    const auto first = reinterpret_cast<std::uintptr_t>(&reserve[0]) & ~(pageSize - 1);
    const auto last = reinterpret_cast<std::uintptr_t>(&reserve[stackReserve - 1]);
    mlock(reinterpret_cast<void*>(first), last - first + 1);
}

// Reads in and locks the code of the program part that holds the step loop:
// some 400 KB, within the lock limit every user has. A branch the loop takes
// only now and then (a break, a late step) would otherwise fault its page in
// the middle of a run; the libraries' code the loop calls is touched in its
// first cycle. Best effort: unlocked code is slower to reach, not wrong.
void lockStepCode() noexcept
{
    const auto here = reinterpret_cast<ElfW(Addr)>(&prefaultStack);
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            const auto code = *static_cast<const ElfW(Addr)*>(data);
            bool ours = false;
            for (ElfW(Half) at = 0; at < info->dlpi_phnum; ++at) {
                const ElfW(Phdr)& segment = info->dlpi_phdr[at];
                const ElfW(Addr) start = info->dlpi_addr + segment.p_vaddr;
                if (segment.p_type == PT_LOAD && code >= start && code < start + segment.p_memsz)
                    ours = true;
            }
            if (!ours)
                return 0;
            for (ElfW(Half) at = 0; at < info->dlpi_phnum; ++at) {
                const ElfW(Phdr)& segment = info->dlpi_phdr[at];
                if (segment.p_type != PT_LOAD || (segment.p_flags & PF_X) == 0)
                    continue;
                const ElfW(Addr) start = (info->dlpi_addr + segment.p_vaddr) & ~(pageSize - 1);
                const ElfW(Addr) end = info->dlpi_addr + segment.p_vaddr + segment.p_memsz;
                mlock(reinterpret_cast<void*>(start), end - start);
            }
            return 1;
        },
        const_cast<ElfW(Addr)*>(&here));
}

}  // namespace

Sequencer::Sequencer(backend::Module1& module, Callbacks callbacks, StepThreadSetup setup, StepClock& clock)
    : module_(module), callbacks_(std::move(callbacks)), setup_(std::move(setup)), clock_(clock),
      keepAlive_(module.port().keepAlive())
{
    catchCpuLimit();
    enlist(this);
    std::lock_guard lock(mutex_);
    try {
        thread_ = std::thread([this] { loop(); });
        started_ = true;
    } catch (const std::system_error& error) {
        startFailure_ = std::string("starting the step thread failed: ") + error.what() +
                        "; close other programs and start the program again";
    }
}

Sequencer::~Sequencer()
{
    shutDown();
    strike(this);
}

namespace {

constexpr unsigned identityStateBits = 2;

RunIdentity identityOf(std::uint64_t word) noexcept
{
    return {static_cast<SequencerState>(word & ((1u << identityStateBits) - 1)), word >> identityStateBits};
}

}  // namespace

RunIdentity Sequencer::identity() const
{
    return identityOf(identity_.load(std::memory_order_seq_cst));
}

std::uint64_t Sequencer::trips() const
{
    return trips_.load(std::memory_order_acquire);
}

std::int64_t Sequencer::delayCount() const
{
    return delayCount_.load(std::memory_order_acquire);
}

std::uint64_t Sequencer::cyclesWritten() const
{
    return cycles_.load(std::memory_order_relaxed);
}

std::uint64_t Sequencer::dwellPasses() const
{
    return passes_.load(std::memory_order_relaxed);
}

std::chrono::nanoseconds Sequencer::largestLateness() const
{
    return std::chrono::nanoseconds(largestLateness_.load(std::memory_order_relaxed));
}

std::uint64_t Sequencer::sleeps() const
{
    return sleeps_.load(std::memory_order_relaxed);
}

void Sequencer::setSpinLimit(std::chrono::nanoseconds limit)
{
    spinLimit_.store(limit.count(), std::memory_order_relaxed);
}

std::chrono::nanoseconds Sequencer::wakeMargin() const
{
    return margin_.margin();
}

TimingMode Sequencer::timing() const
{
    if (!timingKnown_.load(std::memory_order_acquire))
        return {};
    TimingMode mode = timing_;
    if (state() != State::Idle)
        mode.sleeping = pattern::stepLengthFor(delayCount()) > margin_.margin() + WakeMargin::shortestSleep;
    return mode;
}

std::int64_t Sequencer::pageFaultsAfterFirstCycle() const
{
    return faultsAfterFirstCycle_.load(std::memory_order_acquire);
}

RunEndCause Sequencer::endCause() const noexcept
{
    return endCause_.load(std::memory_order_acquire);
}

// Sequentially consistent with startRun's publishing and its second look at
// the count: either this sees the run that is beginning, or that run sees
// this request (a signal may land between any two of startRun's lines).
void Sequencer::endNow(RunEndCause cause) noexcept
{
    const bool alive = identityOf(identity_.load(std::memory_order_seq_cst)).state != State::Idle;
    requestedCause_.store(cause, std::memory_order_relaxed);
    endRequests_.fetch_add(1, std::memory_order_seq_cst);
    if (!alive)
        return;
    RunEndCause none = RunEndCause::None;
    endCause_.compare_exchange_strong(none, cause, std::memory_order_acq_rel);
    endNow_.store(true, std::memory_order_release);
    wake_.fetch_add(1, std::memory_order_acq_rel);
    clock_.wake(wake_);
}

void Sequencer::endAllRuns(RunEndCause cause) noexcept
{
    for (auto& slot : registry)
        if (Sequencer* sequencer = slot.load(std::memory_order_acquire))
            sequencer->endNow(cause);
}

void Sequencer::stopAllKeepAlives() noexcept
{
    for (auto& slot : registry)
        if (Sequencer* sequencer = slot.load(std::memory_order_acquire))
            sequencer->keepAliveStopped_.store(true, std::memory_order_release);
}

bool Sequencer::allIdle(std::uint64_t& runsStarted) noexcept
{
    bool idle = true;
    runsStarted = 0;
    for (auto& slot : registry)
        if (Sequencer* sequencer = slot.load(std::memory_order_acquire)) {
            runsStarted += sequencer->runNumber();
            idle = idle && sequencer->state() == State::Idle;
        }
    return idle;
}

std::chrono::nanoseconds Sequencer::stepThreadCpuTime() const
{
    if (!cpuClockKnown_.load(std::memory_order_acquire))
        return 0ns;
    timespec used{};
    if (clock_gettime(cpuClock_, &used) != 0)
        return 0ns;
    return std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
}

RunAnswer Sequencer::run(std::int64_t delayCount, const RunCondition& condition)
{
    std::unique_lock lock(mutex_);
    if (shutDown_)
        return {};
    const std::int64_t count = std::min(delayCount, maxDelayCount);
    if (condition.newCountOnly) {
        StartTicket* const ticket = condition.ticket.get();
        if (ticket && ticket->state() == StartTicket::State::Queued && ticket == pendingTicket_.get()) {
            delayCount_.store(count, std::memory_order_release);
            return {RunAnswer::Kind::Queued, 0};
        }
        if (!ticket || state_ != State::Running || ticket->run() != runNumber_)
            return {};
        delayCount_.store(count, std::memory_order_release);
        return {RunAnswer::Kind::NewCount, runNumber_};
    }
    if (condition.ticket && !condition.ticket->waiting())
        return {};
    if (state_ == State::Idle && !started_) {
        lock.unlock();
        report(startFailure_);
        return {};
    }
    switch (state_) {
    case State::Running:
        // The run alive takes the count.
        if (condition.ticket && !condition.ticket->start(runNumber_))
            return {};
        delayCount_.store(count, std::memory_order_release);
        return {RunAnswer::Kind::NewCount, runNumber_};
    case State::Stopping: {
        // After the idle writes, as one start: a second RUN gives it its
        // count, a second ticket takes the first one's place.
        std::shared_ptr<StartTicket> replaced;
        if (condition.ticket && condition.ticket != pendingTicket_) {
            if (!condition.ticket->queue())
                return {};
            replaced = std::exchange(pendingTicket_, condition.ticket);
            if (replaced)
                replaced->drop();
        }
        pendingRun_ = true;
        delayCount_.store(count, std::memory_order_release);
        lock.unlock();  // a replaced ticket is let go of outside the mutex
        return {RunAnswer::Kind::Queued, 0};
    }
    case State::Idle:
        break;
    }
    if (condition.ticket && !condition.ticket->start(runNumber_ + 1))
        return {};
    delayCount_.store(count, std::memory_order_release);
    startRun(false);
    signal();
    return {RunAnswer::Kind::Started, runNumber_};
}

bool Sequencer::callOff(StartTicket& ticket)
{
    std::shared_ptr<StartTicket> queued;  // let go of after the mutex
    std::lock_guard lock(mutex_);
    if (&ticket == pendingTicket_.get()) {
        queued = dropQueued();
        return true;
    }
    return ticket.drop();
}

bool Sequencer::startQueued() const
{
    std::lock_guard lock(mutex_);
    return pendingRun_;
}

bool Sequencer::callOffTicketed()
{
    std::shared_ptr<StartTicket> queued;  // let go of after the mutex
    std::lock_guard lock(mutex_);
    if (!pendingTicket_)
        return false;
    queued = dropQueued();
    return true;
}

std::shared_ptr<StartTicket> Sequencer::dropQueued()
{
    pendingRun_ = false;
    if (pendingTicket_)
        pendingTicket_->drop();
    return std::exchange(pendingTicket_, nullptr);
}

bool Sequencer::startRun(bool queued)
{
    const std::uint64_t requests = endRequests_.load(std::memory_order_seq_cst);
    if (queued && requests != endsSeen_) {
        // An end request came during the run before: it ends every run.
        // One that came as that run turned Idle found nothing alive to keep
        // its cause on; the run it meant keeps it now.
        RunEndCause none = RunEndCause::None;
        if (endCause_.compare_exchange_strong(none, requestedCause_.load(std::memory_order_relaxed),
                                              std::memory_order_acq_rel))
            trips_.fetch_add(1, std::memory_order_acq_rel);
        return false;
    }
    // A request to end a run that came while none was alive is not for this one.
    endNow_.store(shutDown_, std::memory_order_release);
    endsSeen_ = requests;
    endCause_.store(RunEndCause::None, std::memory_order_release);
    faultsAtFirstCycle_ = -1;
    cycles_.store(0, std::memory_order_relaxed);
    passes_.store(0, std::memory_order_relaxed);
    sleeps_.store(0, std::memory_order_relaxed);
    largestLateness_.store(0, std::memory_order_relaxed);
    ++runNumber_;
    if (pendingTicket_)
        pendingTicket_->start(runNumber_);
    changeState(State::Running);
    // One that came since the first look, while this run was becoming
    // alive, is for this run.
    if (endRequests_.load(std::memory_order_seq_cst) != requests) {
        RunEndCause none = RunEndCause::None;
        endCause_.compare_exchange_strong(none, requestedCause_.load(std::memory_order_relaxed),
                                          std::memory_order_acq_rel);
        endNow_.store(true, std::memory_order_release);
    }
    return true;
}

StopOutcome Sequencer::stop()
{
    std::unique_lock lock(mutex_);
    if (shutDown_)
        return {StopOutcome::Kind::AlreadyStopping, {}};
    switch (state_) {
    case State::Running:
        return stopRunning();
    case State::Stopping: {
        const std::shared_ptr<StartTicket> queued = dropQueued();
        const std::uint64_t run = runNumber_;
        const bool again = !endingNow();
        if (again) {
            endNow_.store(true, std::memory_order_release);
            signal();
        }
        lock.unlock();  // the dropped ticket is let go of outside the mutex
        return {again ? StopOutcome::Kind::AgainAtOnce : StopOutcome::Kind::AlreadyStopping, {}, run};
    }
    case State::Idle:
        break;
    }
    // No run is alive and none can start while the mutex is held: this
    // thread is the only writer.
    bool written = false;
    const std::string failure = writeIdle("STOP: ", written);
    lock.unlock();
    if (!failure.empty())
        report(failure);
    return {written ? StopOutcome::Kind::IdleWritten : StopOutcome::Kind::NothingWritten, {}};
}

StopOutcome Sequencer::stopRunning()
{
    const std::chrono::nanoseconds left = cycleEnd_ - clock_.now();
    changeState(State::Stopping);
    if (left <= promptStop)
        return {StopOutcome::Kind::AfterCycle, {}, runNumber_};
    // A slow output: waiting for its cycle would leave a step on the
    // wires for as long. End the step under way now.
    endNow_.store(true, std::memory_order_release);
    signal();
    return {StopOutcome::Kind::AtOnce, left, runNumber_};
}

std::optional<StopOutcome> Sequencer::stopHeld(std::optional<std::uint64_t> onlyRun)
{
    std::shared_ptr<StartTicket> queued;  // let go of after the mutex
    std::lock_guard lock(mutex_);
    if (shutDown_)
        return std::nullopt;
    switch (state_) {
    case State::Running:
        if (onlyRun && *onlyRun != runNumber_)
            return std::nullopt;
        return stopRunning();
    case State::Stopping:
        if (!pendingRun_ || onlyRun)
            return std::nullopt;
        queued = dropQueued();
        return StopOutcome{StopOutcome::Kind::AlreadyStopping, {}, runNumber_};
    case State::Idle:
        break;
    }
    return std::nullopt;
}

void Sequencer::endRunNow(RunEndCause cause, std::uint64_t run)
{
    std::lock_guard lock(mutex_);
    if (state_ != State::Idle && run == runNumber_)
        endNow(cause);
}

void Sequencer::shutDown()
{
    std::shared_ptr<StartTicket> queued;  // let go of after the mutex
    {
        std::lock_guard lock(mutex_);
        shutDown_ = true;
        queued = dropQueued();
        endNow_.store(true, std::memory_order_release);
        signal();
    }
    if (thread_.joinable())
        thread_.join();
}

void Sequencer::changeState(State state)
{
    if (state == state_)
        return;
    state_ = state;
    publish();
    if (callbacks_.stateChanged)
        callbacks_.stateChanged(state);
}

void Sequencer::publish()
{
    identity_.store(runNumber_ << identityStateBits | static_cast<std::uint64_t>(state_), std::memory_order_seq_cst);
}

void Sequencer::signal()
{
    wake_.fetch_add(1, std::memory_order_acq_rel);
    clock_.wake(wake_);
}

void Sequencer::report(const std::string& line)
{
    if (callbacks_.error)
        callbacks_.error(line);
}

// Once, on the step thread, before its first step: its CPU, its priority,
// its memory, and the wake-up margin that fits them.
void Sequencer::setUp()
{
    pinCurrentThreadToStepCpu();  // unpinned is slower, not wrong: go on
    try {
        backend::CrashGuard::protectThisThread();  // a stack overflow here still leaves the port idle
    } catch (const std::system_error&) {
        // Without an alternate stack only an overflow of this stack goes unguarded.
    }
    prctl(PR_SET_TIMERSLACK, exactTimerSlack, 0, 0, 0);
    const int tid = static_cast<int>(gettid());
    TimingMode mode;
    mode.known = true;
    if (setup_)
        mode.grant = setup_(tid);
    else
        mode.grant.refusal = "not asked for";
    // A thread at normal priority is never throttled for spinning, and a
    // break would only hand the CPU to another program.
    realtime_ = mode.grant.priorityClass == PriorityClass::Realtime;
    prefaultStack();
    lockStepCode();
    if (pthread_getcpuclockid(pthread_self(), &cpuClock_) == 0)
        cpuClockKnown_.store(true, std::memory_order_release);

    for (int sleep = 0; sleep < calibrationSleeps && !endingNow(); ++sleep) {
        const std::uint32_t seen = wake_.load(std::memory_order_acquire);
        const std::chrono::nanoseconds target = clock_.now() + calibrationSleep;
        clock_.sleepUntil(target, wake_, seen);
        const std::chrono::nanoseconds woke = clock_.now();
        if (woke >= target)
            margin_.addWakeUp(woke - target);
    }

    timing_ = mode;
    timingKnown_.store(true, std::memory_order_release);
    if (callbacks_.timingKnown)
        callbacks_.timingKnown(mode);
}

// Under one permit, so that no handler splits the pair. A handler that has
// taken the port over writes the pair itself; a sealed port takes nothing,
// and the caller must not take the pair for written.
std::string Sequencer::writeIdle(const char* when, bool& written)
{
    written = false;
    const backend::CrashGuard::WritePermit permit;
    switch (permit.refusal()) {
    case backend::CrashGuard::Refusal::None:
        break;
    case backend::CrashGuard::Refusal::TakenOver:
        written = true;
        return {};
    case backend::CrashGuard::Refusal::Sealed:
        return std::string(when) + "the port takes no more writes, sealed as the program ends; the idle pair was "
                                   "not written";
    }
    try {
        module_.vbOut(backend::dataPort, pattern::idleData);
        module_.vbOut(backend::controlPort, pattern::idleControl);
    } catch (const std::exception& error) {
        return std::string(when) + error.what();
    }
    written = true;
    return {};
}

void Sequencer::toggleKeepAlive(std::chrono::nanoseconds now)
{
    nextToggle_ += keepAliveHalfPeriod;
    if (nextToggle_ <= now)
        nextToggle_ = now + keepAliveHalfPeriod;  // a stall: go on from now, no burst of toggles
    module_.port().writeKeepAlive(!keepAliveSet_);
    keepAliveSet_ = !keepAliveSet_;
}

std::string Sequencer::keepAliveAtIdle()
{
    const std::chrono::nanoseconds now = clock_.now();
    if (!keepAliveDue(now))
        return {};
    std::string failure;
    if (keepAliveArmed_) {
        try {
            toggleKeepAlive(now);
        } catch (const std::exception& error) {
            failure = std::string("the keep-alive: ") + error.what();
        }
    } else {
        nextToggle_ = now + keepAliveHalfPeriod;
        bool written = false;
        failure = writeIdle("leaving the port idle for the keep-alive: ", written);
    }
    keepAliveArmed_ = failure.empty();
    if (keepAliveArmed_ || keepAliveFailureSaid_) {
        keepAliveFailureSaid_ = !keepAliveArmed_;
        return {};
    }
    keepAliveFailureSaid_ = true;
    return failure;
}

void Sequencer::endRun()
{
    if (faultsAtFirstCycle_ >= 0)
        faultsAfterFirstCycle_.store(threadPageFaults() - faultsAtFirstCycle_, std::memory_order_release);
    if (endCause_.load(std::memory_order_acquire) != RunEndCause::None)
        trips_.fetch_add(1, std::memory_order_acq_rel);
    endNow_.store(shutDown_, std::memory_order_release);
    changeState(State::Idle);
}

// Between cycles, under the mutex: Idle waits, Stopping leaves the port idle
// (and starts a run that came meanwhile), Running writes one more cycle. The
// mutex is let go for every port write: while Running or Stopping only this
// thread writes, and the window's thread may take the mutex meanwhile.
void Sequencer::loop()
{
    setUp();
    nextToggle_ = clock_.now();  // the keep-alive begins with the idle pair, at once
    std::unique_lock lock(mutex_);
    bool fresh = true;  // the next cycle begins a run: its grid starts now
    std::chrono::nanoseconds nextStart{0};
    std::string failure;  // the port's, reported with the mutex let go before Idle
    const auto leaveIdle = [&](const char* when) {
        lock.unlock();
        bool written = false;
        std::string idleFailure = writeIdle(when, written);
        if (failure.empty())
            failure = std::move(idleFailure);  // else the port has failed already: one line says so
        // A port that failed gets the keep-alive again only once an idle
        // pair has reached it, and the line reported here has said why.
        keepAliveArmed_ = failure.empty();
        keepAliveFailureSaid_ = !keepAliveArmed_;
        if (!failure.empty())
            report(failure);
        failure.clear();
        lock.lock();
        endRun();
        fresh = true;
    };
    for (;;) {
        switch (state_) {
        case State::Idle: {
            if (shutDown_)
                return;
            fresh = true;
            if (const std::string keepAliveFailure = keepAliveToggling() ? keepAliveAtIdle() : std::string();
                !keepAliveFailure.empty()) {
                lock.unlock();
                report(keepAliveFailure);
                lock.lock();
                continue;
            }
            const std::uint32_t seen = wake_.load(std::memory_order_acquire);
            lock.unlock();
            clock_.sleepUntil(keepAliveToggling() ? nextToggle_ : StepClock::noDeadline, wake_, seen);
            lastBlocked_ = clock_.now();
            lock.lock();
            continue;
        }
        case State::Stopping: {
            leaveIdle("leaving the port idle after the run: ");
            std::shared_ptr<StartTicket> spent;
            if (pendingRun_ && !shutDown_) {
                if (startRun(true)) {
                    pendingRun_ = false;
                    spent = std::exchange(pendingTicket_, nullptr);
                } else {
                    spent = dropQueued();
                }
            }
            if (spent) {
                lock.unlock();  // let go of outside the mutex
                spent.reset();
                lock.lock();
            }
            continue;
        }
        case State::Running:
            if (shutDown_) {
                leaveIdle("leaving the port idle on the way out: ");
                continue;
            }
            break;
        }
        const std::int64_t count = delayCount_.load(std::memory_order_acquire);
        if (fresh)
            nextStart = clock_.now();
        fresh = false;
        cycleEnd_ = nextStart + pattern::cycleLengthFor(count);
        lock.unlock();
        bool whole = false;
        try {
            whole = writeCycle(count, nextStart);
        } catch (const std::exception& error) {
            // The port is gone or refused: say it once, and still try the
            // idle pair, which may yet reach a port that failed only its check.
            failure = error.what();
            RunEndCause none = RunEndCause::None;
            endCause_.compare_exchange_strong(none, RunEndCause::PortFailed, std::memory_order_acq_rel);
            lock.lock();
            leaveIdle("leaving the port idle after it failed: ");
            if (std::shared_ptr<StartTicket> spent = dropQueued()) {
                lock.unlock();  // let go of outside the mutex
                spent.reset();
                lock.lock();
            }
            continue;
        }
        if (whole && cycles_.load(std::memory_order_relaxed) == 0)
            faultsAtFirstCycle_ = threadPageFaults();
        lock.lock();
        if (whole)
            cycles_.store(cycles_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        else if (state_ == State::Running)
            changeState(State::Stopping);  // ended at once: the idle pair comes next
    }
}

bool Sequencer::writeCycle(std::int64_t count, std::chrono::nanoseconds& nextStart)
{
    const std::chrono::nanoseconds stepLength = pattern::stepLengthFor(count);
    std::int64_t largest = largestLateness_.load(std::memory_order_relaxed);
    for (const pattern::Step& step : pattern::stepPattern) {
        if (endingNow())
            return false;  // between two steps: the last pair went out whole
        const std::chrono::nanoseconds now = clock_.now();
        std::chrono::nanoseconds slot = nextStart;
        if (count < 0) {
            slot = now;  // no dwell: as fast as the writes go, no grid
        } else {
            const std::chrono::nanoseconds lateness = now - slot;
            if (lateness.count() > largest) {
                largest = lateness.count();
                largestLateness_.store(largest, std::memory_order_relaxed);
            }
            if (lateness > stepLength)
                slot = now;  // a whole step behind: move the grid, keep the steps whole
        }
        {
            // The pair goes out whole: data and control of one step belong
            // together. Held over both writes, so that a crash handler or a
            // forced way out that takes the port over waits for the pair.
            const backend::CrashGuard::WritePermit permit;
            if (!permit)
                return false;  // taken over or sealed: the idle pair's writer says which

            module_.vbOut(backend::dataPort, step.data);
            module_.vbOut(backend::controlPort, step.control);
        }
        // Once a cycle, after its last step's pair: a port that went away
        // (an adapter pulled, a driver unloaded) takes writes without a word.
        if (&step == &pattern::stepPattern.back())
            module_.port().check();
        if (!dwell(count, slot))
            return false;
        nextStart = slot + stepLength;
    }
    return true;
}

std::chrono::nanoseconds Sequencer::runningFor(std::chrono::nanoseconds now) const noexcept
{
    return realtime_ ? now - lastBlocked_ : std::chrono::nanoseconds::min();
}

bool Sequencer::pause(std::chrono::nanoseconds target)
{
    const std::uint32_t seen = wake_.load(std::memory_order_acquire);
    if (endingNow())
        return false;
    clock_.sleepUntil(target, wake_, seen);
    sleeps_.store(sleeps_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    const std::chrono::nanoseconds woke = clock_.now();
    lastBlocked_ = woke;
    // Only a sleep that ran to its deadline says how late wake-ups come.
    if (woke >= target && wake_.load(std::memory_order_acquire) == seen)
        margin_.addWakeUp(woke - target);
    return !endingNow();
}

// Pass k of the step ends at slot + (k + 1) x passLength. While the step's
// end is further than the margin, sleep until end - margin; then spin,
// counting each pass as its time comes. Passes whose time came during a
// sleep are counted on waking.
//
// Steps shorter than the margin leave no time to sleep, and a real-time
// thread that never blocks starves its CPU and is throttled, demoted or
// killed by the kernel. So a real-time thread takes a short break at the
// start of the last dwell that begins before it has run longestSpin without
// blocking, when that dwell has room for the break: the step is then late
// only by as much as the wake-up is. Where no dwell has room (steps shorter
// than the break), the break comes when longestSpin is reached, and that
// step ends the break's length and a wake-up late, once in every
// longestSpin. With no dwell at all (negative counts) it comes between two
// steps.
bool Sequencer::dwell(std::int64_t count, std::chrono::nanoseconds slot)
{
    const std::chrono::nanoseconds spinLimit(spinLimit_.load(std::memory_order_relaxed));
    if (count < 0) {
        const std::chrono::nanoseconds now = clock_.now();
        if (keepAliveDue(now))
            toggleKeepAlive(now);
        return runningFor(now) < spinLimit || pause(now + spinBreak);
    }
    const auto total = static_cast<std::uint64_t>(count) + 1;
    const std::chrono::nanoseconds stepLength = pattern::passLength * static_cast<std::int64_t>(total);
    const std::chrono::nanoseconds stepEnd = slot + stepLength;
    std::uint64_t done = 0;
    std::uint64_t passes = passes_.load(std::memory_order_relaxed);
    for (bool first = true;; first = false) {
        if (endingNow())
            return false;
        std::chrono::nanoseconds now = clock_.now();
        // Right after the pair, or woken for it; never in the last stretch,
        // where a write could make the next step late.
        if (keepAliveDue(now) && (first || stepEnd - now > margin_.margin() + WakeMargin::shortestSleep)) {
            toggleKeepAlive(now);
            now = clock_.now();
        }
        const std::chrono::nanoseconds elapsed = now - slot;
        const std::uint64_t reached =
            elapsed.count() <= 0 ? 0 : std::min<std::uint64_t>(total, static_cast<std::uint64_t>(elapsed / pattern::passLength));
        if (reached > done) {
            passes += reached - done;
            done = reached;
            passes_.store(passes, std::memory_order_relaxed);
        }
        const std::chrono::nanoseconds ran = runningFor(now);
        const bool due = ran >= spinLimit;
        if (done == total && !due)
            return true;
        const std::chrono::nanoseconds left = stepEnd - now;
        const std::chrono::nanoseconds margin = margin_.margin();
        std::chrono::nanoseconds target = stepEnd - margin;
        if (left <= margin + WakeMargin::shortestSleep) {
            const bool lastChance = first && ran >= spinLimit - stepLength &&
                                    left >= spinBreak + WakeMargin::shortestSleep;
            if (!due && !lastChance)
                continue;  // spin the last stretch
            target = now + spinBreak;
        } else if (keepAliveToggling() && nextToggle_ < target - margin && stepEnd - nextToggle_ > keepAliveSlack) {
            target = nextToggle_;  // wakes to toggle, and sleeps on after
        }
        if (!pause(target))
            return false;
    }
}

}  // namespace port::run
