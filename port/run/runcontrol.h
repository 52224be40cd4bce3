// Run control: RUN, STOP and the way out, over the sequencer, and the readout
// of a run measured on the writes the port really took. No Qt: the window
// reaches it through a thin adapter.
#ifndef PORT_RUN_RUNCONTROL_H
#define PORT_RUN_RUNCONTROL_H

#include "port/backend/module1.h"
#include "port/record/frequencymeter.h"
#include "port/record/writerecord.h"
#include "port/run/sequencer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

namespace port::run {

// Who stopped a run that a stop ended (a trip is its RunEndCause).
enum class StopSource : std::uint8_t {
    None,      // no stop: still alive, or ended at once by a trip
    Operator,  // STOP at the window, F12, or Ctrl+Z at the terminal
    Remote,    // a remote client's STOP
    ShutDown,  // EXIT, the window closed, a termination signal the window took
};

// How a run ended: which run, and who stopped it.
struct RunEnd {
    std::uint64_t run = 0;
    StopSource source = StopSource::None;
};

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
    RunEndCause endCause = RunEndCause::None;  // why it ended at once without STOP
    // WindowSilent: from the window's last answer before the trip to its
    // first one after, 0 while it has not answered again.
    std::chrono::nanoseconds windowSilence{0};
    // CommunicationLost: how long the remote client had sent nothing.
    std::chrono::nanoseconds communicationSilence{0};
};

class RunControl {
public:
    // A frozen window ends a run, as a drive trips on keypad loss: the
    // operator could no longer press STOP. The window's event loop answers
    // within milliseconds, also while a modal box or a file dialog is open
    // (they run it); 2 s is some ten times the longest stall measured on a
    // loaded PC, so a busy machine does not trip it, and short enough that a
    // hung window does not leave the motor running on its own for long.
    static constexpr std::chrono::milliseconds windowSilenceLimit{2000};
    static constexpr std::chrono::milliseconds watchInterval{100};

    // module and record must outlive the run control; record holds the
    // writes that module makes.
    RunControl(backend::Module1& module, const record::WriteRecord& record, SequencerCallbacks callbacks,
               StepThreadSetup setup = {}, StepClock& clock = systemStepClock(),
               std::chrono::nanoseconds silenceLimit = windowSilenceLimit);
    ~RunControl();
    RunControl(const RunControl&) = delete;
    RunControl& operator=(const RunControl&) = delete;

    // A new run starts the readout again from its own writes (Sequencer::run).
    // While the timing self-test holds the step CPU, the start waits, one
    // at a time: a later RUN gives it its count, a later ticket takes its
    // place. Every way of calling it off goes through here: stop(),
    // stopHeld(), callOff(), callOffTickets() and shutDown().
    RunAnswer run(std::int64_t delayCount, const RunCondition& condition = {});
    // The window says the timing self-test's step thread holds the step CPU,
    // and when it has ended: the start waiting, if any, begins then.
    void holdStepCpu();
    RunAnswer releaseStepCpu();
    // The operator's STOP (Sequencer::stop); a start waiting is dropped.
    StopOutcome stop();
    // EXIT, closing, a termination signal: the run ends with the idle pair,
    // a start waiting never begins.
    void shutDown();

    // The window's event loop says it answers: called from it a few times a
    // second while a run is alive (run(), stop() and readout() count too).
    // When it has been silent for longer than the limit, a watch thread
    // ends the run at once (RunEndCause::WindowSilent).
    void heartbeat() noexcept;

    // For a thread other than the window's, when the window does not take
    // the way out: ends a run alive at once (cause kept for the readout) and
    // waits up to wait for the step thread's idle pair. Then takes the port
    // over (CrashGuard::leaveIdleNow): the pair under way completes and the
    // idle pair goes out, last. The port is final afterwards: nothing is
    // written after it, not even a RUN the window's thread takes later, so
    // the caller ends the process next. True when the step thread ended the
    // run itself within wait or none was alive.
    bool forceIdle(RunEndCause cause, std::chrono::nanoseconds wait);

    // From a thread other than the window's (a remote client's, the signal
    // thread's), never waiting for it and giving no sign that it answers:
    // a held STOP (Sequencer::stopHeld), kept for the readout like stop()'s;
    // without onlyRun a start waiting for the step CPU is dropped too;
    std::optional<StopOutcome> stopHeld(std::optional<std::uint64_t> onlyRun = {},
                                        StopSource source = StopSource::Operator);
    // a start called off before it happened (Sequencer::callOff);
    bool callOff(StartTicket& ticket);
    // every start a ticket governs, waiting for the step CPU or behind a run
    // still stopping: remote control was turned off;
    void callOffTickets();
    // the remote client that started run has sent nothing for silence: that
    // run ends at once (RunEndCause::CommunicationLost).
    void communicationLost(std::chrono::nanoseconds silence, std::uint64_t run);
    // Who stopped the last run that a stop ended, and which run that was.
    RunEnd lastEnd() const;
    // A start waits: for the step CPU, or behind a run still stopping.
    bool startWaiting();

    SequencerState state() const { return sequencer_.state(); }
    TimingMode timing() const { return sequencer_.timing(); }
    const Sequencer& sequencer() const { return sequencer_; }
    // Takes in the writes made since the last call; reads only atomics and
    // the record, so it never waits for the step thread.
    RunReadout readout();

private:
    struct WaitingStart {
        std::int64_t delayCount;
        RunCondition condition;
    };

    static std::int64_t monotonicNow() noexcept;
    RunAnswer begin(std::int64_t delayCount, const RunCondition& condition);  // startMutex_ held
    void dropWaiting();                                                       // startMutex_ held
    void keepStop(const StopOutcome& outcome, StopSource source);
    void watch();

    const record::WriteRecord& record_;
    record::FrequencyMeter meter_;
    std::uint64_t recordNext_ = 0;
    bool ranOnce_ = false;
    // Taken before the sequencer's: a start waiting and its calling off
    // never cross. The window's and the remote clients' threads only.
    std::mutex startMutex_;
    bool stepCpuHeld_ = false;             // guarded by startMutex_
    std::optional<WaitingStart> waiting_;  // guarded by startMutex_
    mutable std::mutex lastStopMutex_;  // stop() and stopHeld() come from two threads; never the step thread's
    std::optional<StopOutcome> lastStop_;  // guarded by lastStopMutex_
    RunEnd lastEnd_;                       // guarded by lastStopMutex_
    std::atomic<std::int64_t> communicationSilence_{0};  // ns

    const std::chrono::nanoseconds silenceLimit_;
    std::atomic<std::int64_t> lastBeat_{0};     // ns, steady_clock
    std::atomic<std::int64_t> silentFrom_{-1};  // the last beat before a trip, -1: no trip
    std::atomic<std::int64_t> windowSilence_{0};
    std::mutex watchMutex_;  // the watch thread's and the window's only: never the step thread's
    std::condition_variable watchWake_;
    bool watchEnds_ = false;  // guarded by watchMutex_
    std::thread watch_;

    Sequencer sequencer_;  // last: its thread ends before the members it reads
};

}  // namespace port::run

#endif  // PORT_RUN_RUNCONTROL_H
