// Run control: RUN, STOP and the way out, over the sequencer, and the readout
// of a run measured on the writes the port really took. No Qt: the window
// reaches it through a thin adapter.
#ifndef PORT_RUNCONTROL_H
#define PORT_RUNCONTROL_H

#include "port/frequencymeter.h"
#include "port/module1.h"
#include "port/sequencer.h"
#include "port/writerecord.h"

#include <chrono>
#include <cstdint>
#include <optional>

namespace port {

// What the strip shows of a run.
struct RunReadout {
    SequencerState state = SequencerState::Idle;
    bool afterRun = false;  // idle with the figures of the run that ended
    std::int64_t delayCount = 0;
    double definedFrequency = 0.0;            // Hz, from the passes each step makes
    std::optional<double> measuredFrequency;  // Hz, from the cycle starts written
    std::uint64_t cycles = 0;
    std::chrono::nanoseconds largestLateness{0};
    std::optional<StopOutcome> lastStop;  // how the run that ended was stopped
};

class RunControl {
public:
    // module and record must outlive the run control; record holds the
    // writes that module makes.
    RunControl(Module1& module, const WriteRecord& record, SequencerCallbacks callbacks,
               StepThreadSetup setup = {}, StepClock& clock = systemStepClock());

    RunControl(const RunControl&) = delete;
    RunControl& operator=(const RunControl&) = delete;

    // A new run starts the readout again from its own writes.
    void run(std::int64_t delayCount);
    StopOutcome stop();
    // EXIT, closing, a termination signal: the run ends with the idle pair.
    void shutDown();

    SequencerState state() const { return sequencer_.state(); }
    TimingMode timing() const { return sequencer_.timing(); }
    // Takes in the writes made since the last call; reads only atomics and
    // the record, so it never waits for the step thread.
    RunReadout readout();

private:
    const WriteRecord& record_;
    FrequencyMeter meter_;
    std::uint64_t recordNext_ = 0;
    bool ranOnce_ = false;
    std::optional<StopOutcome> lastStop_;
    Sequencer sequencer_;  // last: its thread ends before the members it reads
};

}  // namespace port

#endif  // PORT_RUNCONTROL_H
