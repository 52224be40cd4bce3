// The step thread: its set-up, the state machine it shares with run/stop/
// shutDown, and the cycle with its sleep-then-spin dwell.
#include "port/sequencer.h"

#include "port/crashguard.h"
#include "port/steppattern.h"
#include "port/threadpinning.h"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <system_error>

namespace port {

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

}  // namespace

std::string timingText(const TimingMode& mode)
{
    if (!mode.known)
        return "Timing: setting up the step thread";
    if (mode.grant.priorityClass == PriorityClass::Realtime) {
        std::string text = "Timing: " + priorityText(mode.grant);
        if (mode.sleeping)
            text += *mode.sleeping ? ", sleeping between steps" : ", spinning: steps too short to sleep";
        return text;
    }
    return "Timing: normal priority — other programs can delay the steps (see README, Real-time priority)";
}

Sequencer::Sequencer(Module1& module, Callbacks callbacks, StepThreadSetup setup, StepClock& clock)
    : module_(module), callbacks_(std::move(callbacks)), setup_(std::move(setup)), clock_(clock)
{
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
}

Sequencer::State Sequencer::state() const
{
    return stateMirror_.load(std::memory_order_acquire);
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
    std::lock_guard lock(mutex_);
    TimingMode mode = timing_;
    if (state_ != State::Idle)
        mode.sleeping = stepLengthFor(delayCount()) > margin_.margin() + WakeMargin::shortestSleep;
    return mode;
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

void Sequencer::run(std::int64_t delayCount)
{
    std::lock_guard lock(mutex_);
    if (shutDown_)
        return;
    delayCount_.store(std::min(delayCount, maxDelayCount), std::memory_order_release);
    switch (state_) {
    case State::Running:
        return;  // the loop takes the new count at its next cycle
    case State::Stopping:
        pendingRun_ = true;  // after the idle writes
        return;
    case State::Idle:
        break;
    }
    if (!started_) {
        report(startFailure_);
        return;
    }
    startRun();
    signal();
}

void Sequencer::startRun()
{
    cycles_.store(0, std::memory_order_relaxed);
    passes_.store(0, std::memory_order_relaxed);
    sleeps_.store(0, std::memory_order_relaxed);
    largestLateness_.store(0, std::memory_order_relaxed);
    changeState(State::Running);
}

StopOutcome Sequencer::stop()
{
    std::lock_guard lock(mutex_);
    if (shutDown_)
        return {StopOutcome::Kind::AlreadyStopping, {}};
    switch (state_) {
    case State::Running: {
        pendingRun_ = false;
        const std::chrono::nanoseconds left = cycleEnd_ - clock_.now();
        changeState(State::Stopping);
        if (left <= promptStop)
            return {StopOutcome::Kind::AfterCycle, {}};
        // A slow output: waiting for its cycle would leave a step on the
        // wires for as long. End the step under way now.
        endNow_.store(true, std::memory_order_release);
        signal();
        return {StopOutcome::Kind::AtOnce, left};
    }
    case State::Stopping:
        pendingRun_ = false;
        return {StopOutcome::Kind::AlreadyStopping, {}};
    case State::Idle:
        break;
    }
    // No run is alive and none can start while the mutex is held: this
    // thread is the only writer.
    try {
        module_.vbOut(dataPort, idleData);
        module_.vbOut(controlPort, idleControl);
    } catch (const std::exception& error) {
        report(std::string("STOP: ") + error.what());
    }
    return {StopOutcome::Kind::IdleWritten, {}};
}

void Sequencer::shutDown()
{
    {
        std::lock_guard lock(mutex_);
        shutDown_ = true;
        pendingRun_ = false;
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
    stateMirror_.store(state, std::memory_order_release);
    if (callbacks_.stateChanged)
        callbacks_.stateChanged(state);
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
        CrashGuard::protectThisThread();  // a stack overflow here still leaves the port idle
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

    {
        std::lock_guard lock(mutex_);
        timing_ = mode;
    }
    if (callbacks_.timingKnown)
        callbacks_.timingKnown(mode);
}

void Sequencer::writeIdle(const char* when)
{
    try {
        module_.vbOut(dataPort, idleData);
        module_.vbOut(controlPort, idleControl);
    } catch (const std::exception& error) {
        report(std::string(when) + error.what());
    }
    endNow_.store(shutDown_, std::memory_order_release);
    changeState(State::Idle);
}

// Between cycles, under the mutex: Idle waits, Stopping leaves the port idle
// (and starts a run that came meanwhile), Running writes one more cycle.
void Sequencer::loop()
{
    setUp();
    std::unique_lock lock(mutex_);
    bool fresh = true;  // the next cycle begins a run: its grid starts now
    std::chrono::nanoseconds nextStart{0};
    for (;;) {
        switch (state_) {
        case State::Idle: {
            if (shutDown_)
                return;
            fresh = true;
            const std::uint32_t seen = wake_.load(std::memory_order_acquire);
            lock.unlock();
            clock_.sleepUntil(StepClock::noDeadline, wake_, seen);
            lastBlocked_ = clock_.now();
            lock.lock();
            continue;
        }
        case State::Stopping:
            fresh = true;
            writeIdle("leaving the port idle after the run: ");
            if (pendingRun_ && !shutDown_) {
                pendingRun_ = false;
                startRun();
            }
            continue;
        case State::Running:
            if (shutDown_) {
                writeIdle("leaving the port idle on the way out: ");
                continue;
            }
            break;
        }
        const std::int64_t count = delayCount_.load(std::memory_order_acquire);
        if (fresh)
            nextStart = clock_.now();
        fresh = false;
        cycleEnd_ = nextStart + cycleLengthFor(count);
        lock.unlock();
        bool whole = false;
        try {
            whole = writeCycle(count, nextStart);
        } catch (const std::exception& error) {
            // The port is gone or refused: no further writes, say it once.
            lock.lock();
            report(error.what());
            endNow_.store(shutDown_, std::memory_order_release);
            changeState(State::Idle);
            continue;
        }
        lock.lock();
        if (whole)
            cycles_.store(cycles_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        else if (state_ == State::Running)
            changeState(State::Stopping);  // ended at once: the idle pair comes next
    }
}

bool Sequencer::writeCycle(std::int64_t count, std::chrono::nanoseconds& nextStart)
{
    const std::chrono::nanoseconds stepLength = stepLengthFor(count);
    std::int64_t largest = largestLateness_.load(std::memory_order_relaxed);
    for (const Step& step : stepPattern) {
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
        // The pair goes out whole: data and control of one step belong together.
        module_.vbOut(dataPort, step.data);
        module_.vbOut(controlPort, step.control);
        if (!dwell(count, slot))
            return false;
        nextStart = slot + stepLength;
    }
    return true;
}

// Pass k of the step ends at slot + (k + 1) x passLength. While the step's
// end is further than the margin, sleep until end - margin; then spin,
// counting each pass as its time comes. Passes whose time came during a
// sleep are counted on waking.
//
// Steps shorter than the margin leave no time to sleep, and a real-time
// thread that never blocks is stopped by the kernel for some 50 ms a second
// once other programs want the CPU. So when the thread has spun for
// longestSpin without blocking, it takes a short break at the start of the
// next dwell that has room for one: a few tens of microseconds late at worst
// for that one step, instead of a stall of a whole cycle.
bool Sequencer::dwell(std::int64_t count, std::chrono::nanoseconds slot)
{
    if (count < 0)
        return true;
    const auto total = static_cast<std::uint64_t>(count) + 1;
    const std::chrono::nanoseconds stepEnd = slot + passLength * static_cast<std::int64_t>(total);
    std::uint64_t done = 0;
    std::uint64_t passes = passes_.load(std::memory_order_relaxed);
    for (;;) {
        if (endingNow())
            return false;
        const std::chrono::nanoseconds now = clock_.now();
        const std::chrono::nanoseconds elapsed = now - slot;
        const std::uint64_t reached =
            elapsed.count() <= 0 ? 0 : std::min<std::uint64_t>(total, static_cast<std::uint64_t>(elapsed / passLength));
        if (reached > done) {
            passes += reached - done;
            done = reached;
            passes_.store(passes, std::memory_order_relaxed);
        }
        if (done == total)
            return true;
        const std::chrono::nanoseconds left = stepEnd - now;
        const std::chrono::nanoseconds margin = margin_.margin();
        std::chrono::nanoseconds target = stepEnd - margin;
        if (left <= margin + WakeMargin::shortestSleep) {
            const std::chrono::nanoseconds spinLimit(spinLimit_.load(std::memory_order_relaxed));
            if (!realtime_ || now - lastBlocked_ < spinLimit || left < spinBreak + WakeMargin::shortestSleep)
                continue;  // spin the last stretch
            target = now + spinBreak;
        }
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
    }
}

}  // namespace port
