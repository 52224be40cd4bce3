// Runs the 14-step pattern on the port, cycle after cycle, on a step thread
// of its own, each step held for its dwell by the clock. Every way a run
// ends leaves the port idle: STOP, EXIT, a port error aside (the port is
// gone then), each ends with (dataPort, 0), (controlPort, 2) as the last
// writes, and a step's data and control writes are never split.
//
// Why the clock holds the dwell: the counted loop the step time was made for
// assumed 10 000 passes per ms, and a modern PC makes some 4 million, which
// would put the output frequency hundreds of times too high. So each step
// still makes delayCount + 1 passes of its counter, but pass k ends at the
// step's start + (k + 1) x 100 ns on the clock. Steps lie on a grid from the
// run's start, so the time the writes take does not lengthen the period; a
// step that starts more than one whole step late moves the grid to now
// instead of shortening the steps after it.
//
// Sleep, then spin: while the step's end is further away than the wake-up
// margin, the thread sleeps until end - margin; it spins only the rest. The
// margin is learned from the wake-ups it measures. A real-time thread that
// never blocked would be throttled by the kernel; one that sleeps between
// its deadlines is not, and other programs cannot delay its steps.
//
// The step thread lives from construction to shutDown(). It is the only
// writer while a run is alive; the caller of stop() writes the idle pair when
// no run is alive. Both sides change the state under one mutex with priority
// inheritance, which the loop takes only between cycles and never holds over
// a port write: inside a cycle there is no lock, no allocation and no system
// call besides the port writes, the port's check once a cycle and the sleeps.
//
// A real-time step thread blocks at least once in every longestSpin, at any
// rate: a thread that never blocks starves whatever else needs its CPU and
// is throttled, demoted or killed by the kernel (RLIMIT_RTTIME).
#ifndef PORT_RUN_SEQUENCER_H
#define PORT_RUN_SEQUENCER_H

#include "port/backend/module1.h"
#include "port/pattern/delaycount.h"
#include "port/run/pimutex.h"
#include "port/run/realtimepriority.h"
#include "port/run/sequencerstate.h"
#include "port/run/startticket.h"
#include "port/run/stepclock.h"
#include "port/run/wakemargin.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <thread>

#include <time.h>

namespace port::run {

// Counts beyond this (a step of some 7 000 years) are held at it, so that no
// deadline can overflow the clock.
inline constexpr std::int64_t maxDelayCount =
    std::numeric_limits<std::int64_t>::max() / 4 / pattern::passLength.count();

// Called once on the step thread as it starts, with its kernel thread id:
// asks for the priority the thread runs at. Empty: normal priority.
using StepThreadSetup = std::function<PriorityGrant(int tid)>;

// How the steps of a run are timed, for the operator.
struct TimingMode {
    bool known = false;  // false until the step thread has set itself up
    PriorityGrant grant;
    // Whether the run under way sleeps before its deadlines; none while idle.
    std::optional<bool> sleeping;
};

struct SequencerCallbacks {
    // From the step thread or the caller's thread, only on a real change, in
    // order. Called under the sequencer's lock, which the step thread takes:
    // must not throw, block, allocate or take a lock the window's thread
    // holds for long, nor wait for the caller's thread (it may be joining
    // the step thread at that moment).
    std::function<void(SequencerState)> stateChanged;
    // One line: what failed, the value, a hint. Once per run at most from the
    // loop; stop() on an idle port reports its own failure. Called with no
    // lock held.
    std::function<void(const std::string&)> error;
    // Once, from the step thread, when it has set itself up: its priority.
    std::function<void(const TimingMode&)> timingKnown;
};

// What STOP did: the cycle under way completes when it ends soon, or the run
// ends at once when the cycle would take longer; STOP pressed again while the
// cycle completes ends the run at once.
struct StopOutcome {
    enum class Kind { IdleWritten, AfterCycle, AtOnce, AgainAtOnce, AlreadyStopping };
    Kind kind = Kind::IdleWritten;
    std::chrono::nanoseconds cycleLeft{0};  // AtOnce: what the cycle would still have taken
    std::uint64_t run = 0;                  // the run it stopped; 0 when none
};

class Sequencer {
public:
    using State = SequencerState;
    using Callbacks = SequencerCallbacks;

    // STOP lets the cycle under way complete when it ends within this time
    // (every output of 10 Hz and up); otherwise the run ends at once.
    static constexpr std::chrono::milliseconds promptStop{100};

    // module and clock must outlive the sequencer. Starts the step thread,
    // which sets itself up and waits for the first run.
    Sequencer(backend::Module1& module, Callbacks callbacks, StepThreadSetup setup = {},
              StepClock& clock = systemStepClock());
    ~Sequencer();  // shuts down: a run alive ends with the idle pair

    Sequencer(const Sequencer&) = delete;
    Sequencer& operator=(const Sequencer&) = delete;

    // Idle: starts a run (readouts start again from 0). Running: the loop
    // takes the new count at its next cycle. Stopping: the new run starts
    // after the idle writes, unless a STOP or a request to end runs comes
    // first; it gets its number only then, so a number is never promised to
    // a start that may not happen, nor given twice. Runs are numbered from
    // 1. Refused where condition does not allow it (a ticket no longer
    // waiting, a run no longer Running) and after shutDown().
    RunAnswer run(std::int64_t delayCount, const RunCondition& condition = {});
    // Running: when the cycle under way ends within promptStop it completes,
    // otherwise the step under way ends at once (its pair whole); then
    // (dataPort, 0), (controlPort, 2) are the last writes, then Idle. Idle:
    // writes the idle values at once on the caller's thread. Stopping while
    // the cycle completes: the run ends at once, so pressing STOP twice is
    // always the quickest way to idle; already ending at once: nothing more.
    // Nothing after shutDown().
    StopOutcome stop();
    // A STOP held as a drive's control word holds it: a run Running stops
    // as with stop(); a run already stopping ends as it ends (a STOP written
    // again and again never turns into "at once"), and a start waiting
    // behind it is dropped; with no run alive nothing is written. With
    // onlyRun, only that run while it is Running. What it did to a run
    // Running (AfterCycle or AtOnce), AlreadyStopping for a start waiting
    // that it dropped, nothing when it found neither.
    std::optional<StopOutcome> stopHeld(std::optional<std::uint64_t> onlyRun = {});
    // Calls a start off: true when it had not happened and now never will
    // (Dropped), false when it had started or was over before.
    bool callOff(StartTicket& ticket);
    // A start waits behind the run still stopping.
    bool startQueued() const;
    // Calls off the start waiting behind the run when a ticket governs it
    // (a remote client's); true when there was one.
    bool callOffTicketed();
    // endNow() for that run only, while it is alive; takes the lock.
    void endRunNow(RunEndCause cause, std::uint64_t run);
    // For EXIT, closing and termination signals: a run alive ends at once (a
    // sleeping loop is woken; the pair under way completes), then the idle
    // pair; with no run alive nothing is written. Joins the step thread.
    // Final: run() and stop() do nothing afterwards. Safe twice.
    void shutDown();
    // Ends a run alive at once, as STOP does at a slow output: the pair under
    // way completes, then the idle pair, then Idle; cause is kept for the
    // readout. A start waiting behind the run never begins: an end request
    // ends every run, not only the one it found. Takes no lock and
    // allocates nothing, so a signal handler or a watchdog may call it from
    // any thread. Nothing while idle, but a run beginning at that moment
    // ends too.
    void endNow(RunEndCause cause) noexcept;
    // Why the last run ended at once, or None (still running, STOP, EXIT).
    RunEndCause endCause() const noexcept;
    // endNow(cause) on every sequencer alive in the process; async-signal-safe.
    static void endAllRuns(RunEndCause cause) noexcept;

    // The state and the run, read together.
    RunIdentity identity() const;
    State state() const { return identity().state; }
    // The run alive, or the last one; 0 before the first.
    std::uint64_t runNumber() const { return identity().run; }
    // How many runs have ended at once with a cause (endCause() of each).
    std::uint64_t trips() const;
    std::int64_t delayCount() const;
    std::uint64_t cyclesWritten() const;  // whole cycles of this run
    std::uint64_t dwellPasses() const;    // passes of delayCounter in this run
    std::chrono::nanoseconds largestLateness() const;  // worst step start behind its slot
    std::uint64_t sleeps() const;                      // sleeps before a deadline in this run
    std::chrono::nanoseconds wakeMargin() const;       // how early the loop wakes before a deadline
    TimingMode timing() const;
    // CPU time the step thread has used since it started; 0 before.
    std::chrono::nanoseconds stepThreadCpuTime() const;
    // Page faults the step thread took in the last run after its first whole
    // cycle (which touches the step path's memory); -1 before a run has
    // ended after one whole cycle. A fault inside the loop holds a step.
    std::int64_t pageFaultsAfterFirstCycle() const;

    // How long a real-time thread may run without blocking before it takes a
    // break of spinBreak: at the start of the last dwell before it with room
    // for the break, else at it in the dwell under way, or between two steps
    // where there is no dwell (negative counts), even when the break makes
    // that step late. StepClock::noDeadline: never (for measuring). A thread at
    // normal priority takes no breaks.
    static constexpr std::chrono::nanoseconds longestSpin{500'000};
    static constexpr std::chrono::nanoseconds spinBreak{20'000};
    void setSpinLimit(std::chrono::nanoseconds limit);

private:
    void loop();
    void setUp();
    // mutex_ held: counters from 0, the next run number, Running. False
    // for a start waiting behind a run when an end request came during that
    // run: it never begins.
    bool startRun(bool queued);
    StopOutcome stopRunning();  // mutex_ held, Running: STOP
    // mutex_ held: the start waiting behind the run is Dropped; the ticket
    // is handed back to be let go of once the mutex is.
    std::shared_ptr<StartTicket> dropQueued();
    // Step thread, mutex_ not held: the idle pair; an error is returned.
    std::string writeIdle(const char* when);
    void endRun();  // mutex_ held: after the idle pair, Idle
    bool writeCycle(std::int64_t count, std::chrono::nanoseconds& nextStart);
    bool dwell(std::int64_t count, std::chrono::nanoseconds slot);
    // Sleeps until target unless woken; counts the sleep, and feeds the
    // margin when it ran to its deadline. Returns false when the run ends now.
    bool pause(std::chrono::nanoseconds target);
    // How long a real-time thread has run since it last blocked; the
    // smallest duration at normal priority, which takes no breaks.
    std::chrono::nanoseconds runningFor(std::chrono::nanoseconds now) const noexcept;
    bool endingNow() const noexcept { return endNow_.load(std::memory_order_acquire); }
    void changeState(State state);  // mutex_ held: published with the run number
    void publish();                 // mutex_ held
    void signal();                  // mutex_ held: wakes the loop
    void report(const std::string& line);

    backend::Module1& module_;
    Callbacks callbacks_;
    StepThreadSetup setup_;
    StepClock& clock_;

    mutable PiMutex mutex_;
    State state_ = State::Idle;          // guarded by mutex_; mirrored in stateMirror_
    bool shutDown_ = false;              // guarded by mutex_
    bool pendingRun_ = false;            // guarded by mutex_: RUN came while stopping
    std::shared_ptr<StartTicket> pendingTicket_;  // guarded by mutex_: its ticket, Queued
    std::uint64_t runNumber_ = 0;        // guarded by mutex_; published in identity_
    std::chrono::nanoseconds cycleEnd_{0};  // guarded by mutex_: when the cycle under way ends
    // Written once by the step thread before timingKnown_ is set, then only read.
    TimingMode timing_;
    std::atomic<bool> timingKnown_{false};
    bool started_ = false;               // guarded by mutex_: the step thread could be started
    std::string startFailure_;           // guarded by mutex_: why it could not
    std::thread thread_;                 // joined by shutDown()

    // The run number shifted above the state: one word, so that the two are
    // always read as they were written together.
    std::atomic<std::uint64_t> identity_{0};
    std::atomic<std::uint64_t> trips_{0};
    std::atomic<bool> endNow_{false};  // the run ends before its cycle does
    std::atomic<RunEndCause> endCause_{RunEndCause::None};
    // Every request to end runs counts here, idle or not: a run whose count
    // moved since it began ends with no start behind it.
    std::atomic<std::uint64_t> endRequests_{0};
    std::atomic<RunEndCause> requestedCause_{RunEndCause::None};  // the last request's
    std::uint64_t endsSeen_ = 0;  // guarded by mutex_: endRequests_ as the run alive began
    StepClock::Word wake_{0};  // bumped by every request, so a sleeping loop looks again
    std::atomic<std::int64_t> delayCount_{0};
    clockid_t cpuClock_{};  // the step thread's CPU clock, written once before cpuClockKnown_
    std::atomic<bool> cpuClockKnown_{false};
    // Written by the loop only (load + store, no locked instruction).
    std::atomic<std::uint64_t> cycles_{0};
    std::atomic<std::uint64_t> passes_{0};
    std::atomic<std::uint64_t> sleeps_{0};
    std::atomic<std::int64_t> largestLateness_{0};
    WakeMargin margin_;
    std::atomic<std::int64_t> spinLimit_{longestSpin.count()};
    std::atomic<std::int64_t> faultsAfterFirstCycle_{-1};
    std::int64_t faultsAtFirstCycle_ = -1;     // step thread only
    std::chrono::nanoseconds lastBlocked_{0};  // step thread only
    bool realtime_ = false;                    // step thread only: spin breaks are taken
};

}  // namespace port::run

#endif  // PORT_RUN_SEQUENCER_H
