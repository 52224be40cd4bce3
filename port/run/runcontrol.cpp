// Run control over the sequencer, the watch on the window's heartbeat, and
// the readout of the run.
#include "port/run/runcontrol.h"

#include "port/backend/crashguard.h"

#include <utility>

namespace port::run {

RunControl::RunControl(backend::Module1& module, const record::WriteRecord& record, SequencerCallbacks callbacks,
                       StepThreadSetup setup, StepClock& clock, std::chrono::nanoseconds silenceLimit)
    : record_(record), silenceLimit_(silenceLimit),
      sequencer_(module, std::move(callbacks), std::move(setup), clock)
{
    lastBeat_.store(monotonicNow(), std::memory_order_relaxed);
    watch_ = std::thread([this] { watch(); });
}

RunControl::~RunControl()
{
    {
        std::lock_guard lock(watchMutex_);
        watchEnds_ = true;
    }
    watchWake_.notify_all();
    watch_.join();
    sequencer_.shutDown();
}

std::int64_t RunControl::monotonicNow() noexcept
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

RunAnswer RunControl::run(std::int64_t delayCount, const RunCondition& condition)
{
    heartbeat();
    std::lock_guard lock(startMutex_);
    if (!stepCpuHeld_)
        return begin(delayCount, condition);
    // The self-test's step thread would share the step CPU with the run's:
    // the start waits for it to end.
    if (condition.ticket && !condition.ticket->waiting())
        return {};
    const bool sameStart = waiting_ && waiting_->condition.ticket == condition.ticket;
    if (condition.newCountOnly && !sameStart)
        return {};
    if (waiting_ && (sameStart || !condition.ticket)) {
        waiting_->delayCount = delayCount;
        return {RunAnswer::Kind::Waiting, 0};
    }
    dropWaiting();
    waiting_ = WaitingStart{delayCount, condition};
    return {RunAnswer::Kind::Waiting, 0};
}

RunAnswer RunControl::begin(std::int64_t delayCount, const RunCondition& condition)
{
    if (sequencer_.state() == SequencerState::Idle && !condition.newCountOnly) {
        meter_.reset();
        recordNext_ = record_.total();
        ranOnce_ = true;
        {
            std::lock_guard lock(lastStopMutex_);
            lastStop_.reset();
        }
        communicationSilence_.store(0, std::memory_order_relaxed);
        silentFrom_.store(-1, std::memory_order_relaxed);
        windowSilence_.store(0, std::memory_order_relaxed);
    }
    const RunAnswer answer = sequencer_.run(delayCount, condition);
    watchWake_.notify_all();  // from waiting for a run to watching it
    return answer;
}

void RunControl::holdStepCpu()
{
    std::lock_guard lock(startMutex_);
    stepCpuHeld_ = true;
}

RunAnswer RunControl::releaseStepCpu()
{
    heartbeat();
    std::lock_guard lock(startMutex_);
    stepCpuHeld_ = false;
    if (!waiting_)
        return {};
    const WaitingStart start = *std::exchange(waiting_, std::nullopt);
    return begin(start.delayCount, start.condition);
}

void RunControl::dropWaiting()
{
    if (waiting_ && waiting_->condition.ticket)
        sequencer_.callOff(*waiting_->condition.ticket);
    waiting_.reset();
}

StopOutcome RunControl::stop()
{
    heartbeat();
    {
        std::lock_guard lock(startMutex_);
        dropWaiting();
    }
    const StopOutcome outcome = sequencer_.stop();
    keepStop(outcome, StopSource::Operator);
    return outcome;
}

std::optional<StopOutcome> RunControl::stopHeld(std::optional<std::uint64_t> onlyRun, StopSource source)
{
    bool dropped = false;
    std::lock_guard lock(startMutex_);
    if (!onlyRun && waiting_) {
        dropWaiting();
        dropped = true;
    }
    std::optional<StopOutcome> outcome = sequencer_.stopHeld(onlyRun);
    if (outcome)
        keepStop(*outcome, source);
    else if (dropped)
        outcome = StopOutcome{StopOutcome::Kind::AlreadyStopping, {}, 0};
    return outcome;
}

void RunControl::keepStop(const StopOutcome& outcome, StopSource source)
{
    if (outcome.kind != StopOutcome::Kind::AfterCycle && outcome.kind != StopOutcome::Kind::AtOnce)
        return;  // nothing stopped, or a run already stopping: its first STOP says who
    std::lock_guard lock(lastStopMutex_);
    lastStop_ = outcome;
    lastEnd_ = {outcome.run, source};
}

RunEnd RunControl::lastEnd() const
{
    std::lock_guard lock(lastStopMutex_);
    return lastEnd_;
}

bool RunControl::startWaiting()
{
    std::lock_guard lock(startMutex_);
    return waiting_.has_value() || sequencer_.startQueued();
}

bool RunControl::callOff(StartTicket& ticket)
{
    std::lock_guard lock(startMutex_);
    if (waiting_ && waiting_->condition.ticket.get() == &ticket)
        waiting_.reset();
    return sequencer_.callOff(ticket);
}

void RunControl::callOffTickets()
{
    std::lock_guard lock(startMutex_);
    if (waiting_ && waiting_->condition.ticket)
        dropWaiting();
    sequencer_.callOffTicketed();
}

void RunControl::communicationLost(std::chrono::nanoseconds silence, std::uint64_t run)
{
    communicationSilence_.store(silence.count(), std::memory_order_release);
    sequencer_.endRunNow(RunEndCause::CommunicationLost, run);
}

void RunControl::shutDown()
{
    {
        std::lock_guard lock(startMutex_);
        dropWaiting();
        const RunIdentity alive = sequencer_.identity();
        std::lock_guard stopLock(lastStopMutex_);
        if (alive.alive() && lastEnd_.run != alive.run)
            lastEnd_ = {alive.run, StopSource::ShutDown};
    }
    sequencer_.shutDown();  // joins the step thread: no lock of ours held
}

void RunControl::heartbeat() noexcept
{
    const std::int64_t now = monotonicNow();
    lastBeat_.store(now, std::memory_order_release);
    const std::int64_t from = silentFrom_.load(std::memory_order_acquire);
    if (from >= 0 && windowSilence_.load(std::memory_order_acquire) == 0)
        windowSilence_.store(now - from, std::memory_order_release);
}

bool RunControl::forceIdle(RunEndCause cause, std::chrono::nanoseconds wait)
{
    sequencer_.endNow(cause);
    const auto giveUp = std::chrono::steady_clock::now() + wait;
    while (sequencer_.state() != SequencerState::Idle && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool ended = sequencer_.state() == SequencerState::Idle;
    // The idle pair from here, whatever the step thread did: the window's
    // thread may have taken a RUN since the look above, whose pair went out
    // before the seal and whose own idle pair the seal refuses. One more
    // idle pair after the step thread's is harmless.
    backend::CrashGuard::leaveIdleNow();
    return ended;
}

// Sleeps while no run is alive; while one is, looks every watchInterval
// whether the window has answered within the limit.
void RunControl::watch()
{
    std::unique_lock lock(watchMutex_);
    while (!watchEnds_) {
        if (sequencer_.state() == SequencerState::Idle) {
            watchWake_.wait_for(lock, std::chrono::seconds(1));
            continue;
        }
        watchWake_.wait_for(lock, watchInterval);
        const std::int64_t beat = lastBeat_.load(std::memory_order_acquire);
        if (sequencer_.state() == SequencerState::Idle || silentFrom_.load(std::memory_order_acquire) >= 0)
            continue;
        if (monotonicNow() - beat > silenceLimit_.count()) {
            silentFrom_.store(beat, std::memory_order_release);
            sequencer_.endNow(RunEndCause::WindowSilent);
        }
    }
}

RunReadout RunControl::readout()
{
    heartbeat();  // asked for on the window's thread: it answers
    std::uint64_t next = recordNext_;
    meter_.add(record_.since(recordNext_, record_.capacity(), next));
    recordNext_ = next;

    RunReadout readout;
    readout.state = sequencer_.state();
    readout.afterRun = ranOnce_;
    readout.delayCount = sequencer_.delayCount();
    readout.definedFrequency = pattern::frequencyFor(readout.delayCount);
    readout.measuredFrequency = meter_.frequency(monotonicNow());
    readout.cycles = sequencer_.cyclesWritten();
    readout.largestLateness = sequencer_.largestLateness();
    {
        std::lock_guard lock(lastStopMutex_);
        readout.lastStop = lastStop_;
    }
    readout.endCause = sequencer_.endCause();
    readout.windowSilence = std::chrono::nanoseconds(windowSilence_.load(std::memory_order_acquire));
    readout.communicationSilence = std::chrono::nanoseconds(communicationSilence_.load(std::memory_order_acquire));
    return readout;
}

}  // namespace port::run
