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
//
// The keep-alive: on a port that has one, the step thread also toggles it
// every keepAliveHalfPeriod, at idle as during a run, so that its square wave
// lasts exactly as long as the step thread goes on: a frozen or ended step
// thread, a stopped or killed process, a hung PC leave it still, and the
// circuit it feeds disables the power stage. Its toggles are writes of their
// own, never inside a step's pair: during a run in the dwell after a pair,
// at idle from a wake of the idle wait, under the mutex (the caller of
// stop() writes under it too). It starts only once the port is known idle:
// the thread writes the idle pair first, as STOP does, because a power stage
// enabled over a port another program left holding a step would drive that
// step. It stops for good before the idle pair of a way out: shutDown()
// ends the thread, an exit hook calls stopAllKeepAlives() before it ends
// the runs, and once the port is sealed (CrashGuard) its writes are refused.
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
// cycle completes ends the run at once. With no run alive: the idle pair
// written, or NothingWritten when the port failed or takes no more writes
// (the error callback says which).
struct StopOutcome {
    enum class Kind { IdleWritten, AfterCycle, AtOnce, AgainAtOnce, AlreadyStopping, NothingWritten };
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
    // Whether every sequencer alive in the process is Idle, and how many runs
    // they have started between them; async-signal-safe.
    static bool allIdle(std::uint64_t& runsStarted) noexcept;
    // The program is ending: no sequencer alive toggles its keep-alive again
    // (one toggle under way completes), so that the idle pair its step
    // thread writes next stays the last thing on the port until the port is
    // sealed. For an exit hook, before endAllRuns(); async-signal-safe.
    static void stopAllKeepAlives() noexcept;

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

    // The keep-alive's square wave, 100 Hz: a rising edge every 10 ms. Fast
    // enough that a retriggerable monostable of some 25 ms (a 74HC123 with
    // 470 nF) holds the enable through a toggle 15 ms late, more than a
    // real-time step thread's longest gap measured, and disables the power
    // stage within some 2.5 periods of the last edge, less than one cycle
    // of a 30 Hz output; slow enough to cost the steps nothing measurable
    // (bench/README.md): 200 writes a second, each between two pairs. A step
    // thread held up longer (normal priority on a busy PC) lets the enable
    // drop: its steps are then as late.
    static constexpr std::chrono::milliseconds keepAliveHalfPeriod{5};
    // A toggle is made right after the pair of the step it falls due in;
    // the thread wakes for it inside a dwell only where waiting for the next
    // pair would make it later than this. Every sleep may end late, so
    // steps shorter than it (outputs above some 28 Hz) take no wake of the
    // keep-alive's at all.
    static constexpr std::chrono::microseconds keepAliveSlack{2'500};

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
    // The idle pair; what failed is returned, and written says whether the
    // pair went out (or goes out from a handler that has taken the port over).
    std::string writeIdle(const char* when, bool& written);
    void endRun();  // mutex_ held: after the idle pair, Idle
    bool writeCycle(std::int64_t count, std::chrono::nanoseconds& nextStart);
    bool dwell(std::int64_t count, std::chrono::nanoseconds slot);
    bool keepAliveToggling() const noexcept
    {
        return keepAlive_ && !keepAliveStopped_.load(std::memory_order_acquire);
    }
    bool keepAliveDue(std::chrono::nanoseconds now) const noexcept { return keepAliveToggling() && now >= nextToggle_; }
    // Step thread: the keep-alive's next toggle; throws PortError.
    void toggleKeepAlive(std::chrono::nanoseconds now);
    // Step thread, Idle, mutex_ held: when due, toggles the keep-alive, or
    // writes the idle pair while the port is not known idle. Returns what
    // to report: the first failure since it last worked.
    std::string keepAliveAtIdle();
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
    const bool keepAlive_;                     // the port has a keep-alive
    bool keepAliveSet_ = false;                // step thread only: its bit as last written
    std::chrono::nanoseconds nextToggle_{0};   // step thread only
    // Step thread only: the port has been written idle (or a run has been
    // writing it) since the last failure, so the keep-alive may go on.
    bool keepAliveArmed_ = false;
    bool keepAliveFailureSaid_ = false;  // step thread only
    std::atomic<bool> keepAliveStopped_{false};  // for good: the program is ending
};

}  // namespace port::run

#endif  // PORT_RUN_SEQUENCER_H
