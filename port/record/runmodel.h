// A run as the write record shows it: which writes begin a step and which
// are STOP's idle pair, where cycles start and which were whole, where the
// newest run began, what the registers show now, and what of the run the
// record no longer holds. The frequency meter, the monitor's trace, the
// timing self-test and the VCD export all read the record through it, so
// that they agree on what a run is.
#ifndef PORT_RECORD_RUNMODEL_H
#define PORT_RECORD_RUNMODEL_H

#include "port/pattern/steppattern.h"
#include "port/record/writerecord.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace port::record {

// The levels of the lines a trace shows, in pattern::lineNames order; a line
// is unknown (empty) until its register is first written.
using LineLevels = std::array<std::optional<bool>, pattern::lineCount>;

// True for a write to the data or the control register, the registers
// whose lines a trace shows.
bool drivesLines(const WriteRecord::Write& write);

// Puts write into the lines its register drives: D0..D7 for the data
// register, C1 for the control register. False, and levels as they were, for
// a write to any other address.
bool applyWrite(const WriteRecord::Write& write, LineLevels& levels);

class RunModel {
public:
    using Write = WriteRecord::Write;

    // What one write was in the run.
    struct Reading {
        bool stepStart = false;   // a data write other than idle: a step begins
        bool cycleStart = false;  // a step that begins a cycle
        bool idle = false;        // the idle pair's data write: STOP
        // On a cycle start that ends a whole cycle, that cycle's length (ns).
        // Whole: its start came exactly one cycle of writes before, earlier;
        // lost writes between the two starts do not matter, a STOP or a new
        // run does.
        std::optional<std::int64_t> wholeCycle;
    };

    // How much of the run the writes from some write on leave out.
    struct Lost {
        bool startHeld = false;  // they hold the run's first write
        // ns of the run before them, when its start was seen.
        std::optional<std::int64_t> missing;
        // At most this many ns, when its start was lost while the port was idle.
        std::optional<std::int64_t> missingAtMost;
    };

    // The run the newest writes belong to: from a step after the port was
    // idle up to the idle write that ends it.
    struct Run {
        std::int64_t start;        // ns, its first write, or the first of it taken
        std::uint64_t firstIndex;  // that write's index
        // False when the first writes taken were in the middle of the run
        // (taken late, or writes were lost): it began earlier.
        bool startSeen;
        // When its start was lost between two reads that found the port
        // idle and then running: it began after this (ns).
        std::optional<std::int64_t> startedAfter;
        std::optional<std::int64_t> end;  // ns, its idle write once it has ended

        // What the writes from first on leave out of the run.
        Lost lostBefore(const Write& first) const;
    };

    // Takes writes oldest first, one at a time or drained in pieces as the
    // record gives them. A write whose index does not follow the last one
    // taken means writes were lost in between. The record begins with the
    // port idle (nothing written yet); when the first write taken is not the
    // record's first, what the port was doing is not known.
    Reading take(const Write& write);
    void take(const std::vector<Write>& writes);

    // The reader looked at the record at now (the writes' clock) and had
    // then taken every write made so far: writes taken after this one were
    // made after now. Before any write is taken, the port was idle until now.
    void lookedAt(std::int64_t now);

    const std::optional<Run>& run() const { return run_; }

    // The last writes to the data and the control register since writes were
    // last lost (the lost ones may have changed them).
    const std::optional<Write>& lastData() const { return lastData_; }
    const std::optional<Write>& lastControl() const { return lastControl_; }
    // The data write of the step under way: the last data write, unless it
    // was the idle one.
    std::optional<Write> stepUnderWay() const;
    // The step of the pattern the registers show (0 is a cycle's first),
    // none when they show none. Between a step's data and control writes the
    // control register still holds the step before; the data byte already
    // names the step.
    std::optional<std::size_t> stepShown() const;
    // The registers show the idle pair (the control register may not be known).
    bool idleShown() const;
    // The length of the newest whole cycle taken (ns).
    std::optional<std::int64_t> cycleLength() const { return cycleLength_; }

private:
    // What the port was doing before the write being taken. IdleThenLost:
    // idle at the last write taken, and writes were lost since.
    enum class PortState { Idle, InRun, IdleThenLost, Unknown };

    void track(const Write& write);

    PortState portState_ = PortState::Unknown;
    std::optional<std::uint64_t> lastIndex_;
    std::int64_t lastTime_ = 0;
    std::optional<std::int64_t> lookedAt_;
    std::int64_t startedAfter_ = 0;  // while IdleThenLost
    std::optional<Run> run_;

    std::optional<Write> lastData_;
    std::optional<Write> lastControl_;
    std::optional<Write> lastCycleStart_;
    std::optional<std::int64_t> cycleLength_;
};

}  // namespace port::record

#endif  // PORT_RECORD_RUNMODEL_H
