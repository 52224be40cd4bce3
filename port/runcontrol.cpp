// Run control over the sequencer, and the readout of the run.
#include "port/runcontrol.h"

namespace port {

RunControl::RunControl(Module1& module, const WriteRecord& record, SequencerCallbacks callbacks,
                       StepThreadSetup setup, StepClock& clock)
    : record_(record), sequencer_(module, std::move(callbacks), std::move(setup), clock)
{
}

void RunControl::run(std::int64_t delayCount)
{
    if (sequencer_.state() == SequencerState::Idle) {
        meter_.reset();
        recordNext_ = record_.total();
        ranOnce_ = true;
        lastStop_.reset();
    }
    sequencer_.run(delayCount);
}

StopOutcome RunControl::stop()
{
    const StopOutcome outcome = sequencer_.stop();
    if (outcome.kind == StopOutcome::Kind::AfterCycle || outcome.kind == StopOutcome::Kind::AtOnce)
        lastStop_ = outcome;
    return outcome;
}

void RunControl::shutDown()
{
    sequencer_.shutDown();
}

RunReadout RunControl::readout()
{
    std::uint64_t next = recordNext_;
    meter_.add(record_.since(recordNext_, record_.capacity(), next));
    recordNext_ = next;

    RunReadout readout;
    readout.state = sequencer_.state();
    readout.afterRun = ranOnce_;
    readout.delayCount = sequencer_.delayCount();
    readout.definedFrequency = frequencyFor(readout.delayCount);
    readout.measuredFrequency = meter_.frequency(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
    readout.cycles = sequencer_.cyclesWritten();
    readout.largestLateness = sequencer_.largestLateness();
    readout.lastStop = lastStop_;
    return readout;
}

}  // namespace port
