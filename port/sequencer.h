// Runs the 14-step pattern on the port, cycle after cycle, on a thread of
// its own, each step held for its dwell by the clock; STOP ends the cycle
// under way and leaves the port idle.
//
// Why the clock holds the dwell: the counted loop the step time was made for
// assumed 10 000 passes per ms, and a modern PC makes some 4 million, which
// would put the output frequency hundreds of times too high. So each step
// still makes delayCount + 1 passes of its counter, but pass k ends at the
// step's start + (k + 1) x 100 ns on the clock (busy-waiting: a sleep or a
// yield wakes far too late). Steps lie on a grid from the run's start, so
// the time the writes take does not lengthen the period; a step that starts
// more than one whole step late (the thread was preempted) moves the grid to
// now instead of shortening the steps after it.
//
// Threads: run/stop/abandon come from one thread (the UI's) and share a
// mutex that the cycle never takes. Inside a cycle there is no lock, no
// allocation and no system call besides the port writes. Only one thread
// writes the port at any moment: the loop while a run is alive, otherwise
// the caller of stop().
#ifndef PORT_SEQUENCER_H
#define PORT_SEQUENCER_H

#include "port/delaycount.h"
#include "port/module1.h"
#include "port/port.h"
#include "port/steppattern.h"
#include "port/threadpinning.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>

namespace port {

// Counts beyond this (a step of some 7 000 years) are held at it, so that no
// deadline can overflow the clock.
inline constexpr std::int64_t maxDelayCount =
    std::numeric_limits<std::int64_t>::max() / 4 / passLength.count();

enum class SequencerState { Idle, Running, Stopping };

struct SequencerCallbacks {
    // From the sequencer thread or the caller's thread, only on a real
    // change, in order. Must not throw, nor wait for the UI thread (the
    // UI thread may be joining the sequencer thread at that moment).
    std::function<void(SequencerState)> stateChanged;
    // One line: what failed, the value, a hint. Once per run at most
    // from the loop; stop() on an idle port reports its own failure.
    std::function<void(const std::string&)> error;
};

template <class Clock>
class BasicSequencer {
public:
    static_assert(std::is_same_v<typename Clock::duration, std::chrono::nanoseconds>,
                  "the dwell grid is kept in nanoseconds");

    using State = SequencerState;
    using Callbacks = SequencerCallbacks;

    BasicSequencer(Module1& module, Callbacks callbacks);
    ~BasicSequencer();  // abandons (no more writes) and joins

    BasicSequencer(const BasicSequencer&) = delete;
    BasicSequencer& operator=(const BasicSequencer&) = delete;

    // Idle: starts the thread (readouts start again from 0). Running: the
    // loop takes the new count at its next cycle. Stopping: the stop is
    // taken back and the loop goes on with the new count, without idle
    // writes; if the loop has already begun its idle writes, they complete
    // and a new run starts after them. Nothing after abandon().
    void run(std::int64_t delayCount);
    // Running: the current cycle completes, then (dataPort, 0), (controlPort, 2)
    // are the last writes, then Idle. Idle: writes the idle values at once on
    // the caller's thread. Stopping: nothing more. Nothing after abandon().
    void stop();
    // For EXIT and closing: the loop stops within one dwell pass and writes
    // nothing more; joins. Final: run() and stop() do nothing afterwards.
    // Safe twice.
    void abandon();

    State state() const;
    std::int64_t delayCount() const;
    std::uint64_t cyclesWritten() const;  // whole cycles of this run
    std::uint64_t dwellPasses() const;    // passes of delayCounter in this run
    std::chrono::nanoseconds largestLateness() const;  // worst step start behind its slot

private:
    // Finishing: the loop has seen the stop and makes the idle writes; it
    // shows as Stopping, but run() can no longer take the stop back.
    enum class Phase { Idle, Running, Stopping, Finishing };
    using TimePoint = typename Clock::time_point;

    void loop();
    bool writeCycle(std::int64_t count, TimePoint& nextStart);
    bool abandoning() const noexcept { return abandon_.load(std::memory_order_acquire); }
    void finish();
    void setPhase(Phase phase);  // announceMutex_ held
    void announce(State state);  // announceMutex_ held
    void report(const std::string& line);
    void joinThread();
    static State stateOf(Phase phase);

    Module1& module_;
    Callbacks callbacks_;

    std::mutex controlMutex_;  // run/stop/abandon; never taken by the loop
    std::thread thread_;       // guarded by controlMutex_
    bool abandoned_ = false;   // guarded by controlMutex_

    // Orders the announcements of the two threads; the loop takes it only
    // after its last write.
    std::mutex announceMutex_;
    State announced_ = State::Idle;  // guarded by announceMutex_

    std::atomic<Phase> phase_{Phase::Idle};  // "running" is phase_ == Running
    std::atomic<bool> abandon_{false};
    std::atomic<std::int64_t> delayCount_{0};
    // Written by the loop only (load + store, no locked instruction).
    std::atomic<std::uint64_t> cycles_{0};
    std::atomic<std::uint64_t> passes_{0};
    std::atomic<std::int64_t> largestLateness_{0};
};

using Sequencer = BasicSequencer<std::chrono::steady_clock>;

template <class Clock>
BasicSequencer<Clock>::BasicSequencer(Module1& module, Callbacks callbacks)
    : module_(module), callbacks_(std::move(callbacks))
{
}

template <class Clock>
BasicSequencer<Clock>::~BasicSequencer()
{
    abandon();
}

template <class Clock>
typename BasicSequencer<Clock>::State BasicSequencer<Clock>::state() const
{
    return stateOf(phase_.load(std::memory_order_acquire));
}

template <class Clock>
std::int64_t BasicSequencer<Clock>::delayCount() const
{
    return delayCount_.load(std::memory_order_acquire);
}

template <class Clock>
std::uint64_t BasicSequencer<Clock>::cyclesWritten() const
{
    return cycles_.load(std::memory_order_relaxed);
}

template <class Clock>
std::uint64_t BasicSequencer<Clock>::dwellPasses() const
{
    return passes_.load(std::memory_order_relaxed);
}

template <class Clock>
std::chrono::nanoseconds BasicSequencer<Clock>::largestLateness() const
{
    return std::chrono::nanoseconds(largestLateness_.load(std::memory_order_relaxed));
}

template <class Clock>
typename BasicSequencer<Clock>::State BasicSequencer<Clock>::stateOf(Phase phase)
{
    switch (phase) {
    case Phase::Running: return State::Running;
    case Phase::Stopping:
    case Phase::Finishing: return State::Stopping;
    case Phase::Idle: break;
    }
    return State::Idle;
}

template <class Clock>
void BasicSequencer<Clock>::run(std::int64_t delayCount)
{
    std::lock_guard lock(controlMutex_);
    if (abandoned_)
        return;
    delayCount_.store(delayCount < maxDelayCount ? delayCount : maxDelayCount,
                      std::memory_order_release);
    Phase phase = phase_.load(std::memory_order_acquire);
    if (phase == Phase::Running)
        return;
    if (phase == Phase::Stopping) {
        std::lock_guard announceLock(announceMutex_);
        if (phase_.compare_exchange_strong(phase, Phase::Running, std::memory_order_acq_rel)) {
            announce(State::Running);
            return;
        }
        // The loop won: it is making the idle writes. Start anew after them.
    }
    joinThread();
    cycles_.store(0, std::memory_order_relaxed);
    passes_.store(0, std::memory_order_relaxed);
    largestLateness_.store(0, std::memory_order_relaxed);
    {
        std::lock_guard announceLock(announceMutex_);
        setPhase(Phase::Running);
    }
    try {
        thread_ = std::thread([this] { loop(); });
    } catch (const std::system_error& error) {
        {
            std::lock_guard announceLock(announceMutex_);
            setPhase(Phase::Idle);
        }
        report(std::string("starting the step thread failed: ") + error.what() +
               "; close other programs and press RUN again");
    }
}

template <class Clock>
void BasicSequencer<Clock>::stop()
{
    std::lock_guard lock(controlMutex_);
    if (abandoned_)
        return;
    Phase phase = phase_.load(std::memory_order_acquire);
    if (phase == Phase::Running) {
        std::lock_guard announceLock(announceMutex_);
        if (phase_.compare_exchange_strong(phase, Phase::Stopping, std::memory_order_acq_rel)) {
            announce(State::Stopping);
            return;
        }
        // The loop ended on a port error meanwhile: idle the port from here.
    }
    if (phase == Phase::Stopping || phase == Phase::Finishing)
        return;
    // Idle: a finished thread may still be announcing; once joined, this
    // thread is the only writer.
    joinThread();
    try {
        module_.vbOut(dataPort, idleData);
        module_.vbOut(controlPort, idleControl);
    } catch (const std::exception& error) {
        report(std::string("STOP: ") + error.what());
    }
}

template <class Clock>
void BasicSequencer<Clock>::abandon()
{
    std::lock_guard lock(controlMutex_);
    abandoned_ = true;
    abandon_.store(true, std::memory_order_release);
    joinThread();
    std::lock_guard announceLock(announceMutex_);
    setPhase(Phase::Idle);
}

template <class Clock>
void BasicSequencer<Clock>::joinThread()
{
    if (thread_.joinable())
        thread_.join();
}

template <class Clock>
void BasicSequencer<Clock>::setPhase(Phase phase)
{
    phase_.store(phase, std::memory_order_release);
    announce(stateOf(phase));
}

template <class Clock>
void BasicSequencer<Clock>::announce(State state)
{
    if (state == announced_)
        return;
    announced_ = state;
    if (callbacks_.stateChanged)
        callbacks_.stateChanged(state);
}

template <class Clock>
void BasicSequencer<Clock>::report(const std::string& line)
{
    if (callbacks_.error)
        callbacks_.error(line);
}

template <class Clock>
void BasicSequencer<Clock>::finish()
{
    std::lock_guard announceLock(announceMutex_);
    setPhase(Phase::Idle);
}

template <class Clock>
void BasicSequencer<Clock>::loop()
{
    pinCurrentThreadToStepCpu();  // unpinned is slower, not wrong: go on
    try {
        TimePoint nextStart = Clock::now();
        for (;;) {
            Phase phase = phase_.load(std::memory_order_acquire);
            if (phase == Phase::Stopping) {
                if (phase_.compare_exchange_strong(phase, Phase::Finishing,
                                                   std::memory_order_acq_rel))
                    break;
                continue;  // run() took the stop back
            }
            if (!writeCycle(delayCount_.load(std::memory_order_acquire), nextStart)) {
                finish();  // abandoned: not one write more
                return;
            }
            cycles_.store(cycles_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        }
        if (!abandoning())
            module_.vbOut(dataPort, idleData);
        if (!abandoning())
            module_.vbOut(controlPort, idleControl);
    } catch (const std::exception& error) {
        // The port is gone or refused: no further writes, say it once.
        report(error.what());
    }
    finish();
}

template <class Clock>
bool BasicSequencer<Clock>::writeCycle(std::int64_t count, TimePoint& nextStart)
{
    const std::chrono::nanoseconds stepLength = stepLengthFor(count);
    std::int64_t largest = largestLateness_.load(std::memory_order_relaxed);
    std::uint64_t passes = passes_.load(std::memory_order_relaxed);
    for (const Step& step : stepPattern) {
        const TimePoint now = Clock::now();
        TimePoint slot = nextStart;
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
        if (abandoning())
            return false;
        module_.vbOut(dataPort, step.data);
        if (abandoning())
            return false;
        module_.vbOut(controlPort, step.control);
        TimePoint passEnd = slot;
        for (std::int64_t delayCounter = 0; delayCounter <= count; ++delayCounter) {
            passEnd += passLength;
            do {
                if (abandoning())
                    return false;
            } while (Clock::now() < passEnd);
            passes_.store(++passes, std::memory_order_relaxed);
        }
        nextStart = slot + stepLength;
    }
    return true;
}

extern template class BasicSequencer<std::chrono::steady_clock>;

}  // namespace port

#endif  // PORT_SEQUENCER_H
