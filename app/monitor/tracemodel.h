// What the trace view draws, apart from how: the newest writes it holds, per
// line the times at which the line changes, and the run the writes belong
// to; and the keep-alive's toggles, from a record of their own, as one more
// line. Plain C++; the view keeps the axis, the painting and the input.
#ifndef APP_MONITOR_TRACEMODEL_H
#define APP_MONITOR_TRACEMODEL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "port/pattern/steppattern.h"
#include "port/record/runmodel.h"
#include "port/record/writerecord.h"

namespace app::monitor {

class TraceModel
{
public:
    using Write = port::record::WriteRecord::Write;

    // The keep-alive's line follows the pattern's nine.
    static constexpr std::size_t keepAliveLine = port::pattern::lineCount;

    // Times at which a line changes, so a frame only needs binary searches
    // over them for the visible columns; edges.front() is the line's first
    // write, when it leaves unknown. Levels alternate after that, starting
    // at firstLevel.
    struct Trace {
        std::vector<std::int64_t> edges;
        bool firstLevel = false;
    };

    // As if just opened on these writes (oldest first); at most capacity()
    // of the newest are held, but the run is read from all of them.
    void setWrites(std::vector<Write> writes);
    // The writes made since the last ones taken. When some were lost in
    // between, these replace the held ones, since levels must not be drawn
    // as held across the gap.
    void appendWrites(const std::vector<Write>& writes);
    void setCapacity(std::size_t capacity);
    // The keep-alive's writes (its own record's), as with setWrites and
    // appendWrites: at most capacity() of the newest are held.
    void setKeepAlive(std::vector<Write> toggles);
    void appendKeepAlive(const std::vector<Write>& toggles);
    const std::vector<Write>& keepAliveWrites() const { return keepAlive_; }
    std::size_t capacity() const { return capacity_; }
    // See RunModel::lookedAt.
    void lookedAt(std::int64_t now) { run_.lookedAt(now); }

    const std::vector<Write>& writes() const { return writes_; }
    // Lines 0..8 as the pattern names them, then keepAliveLine.
    const Trace& trace(std::size_t line) const { return traces_[line]; }
    // Follows the writes as they arrive; unlike the traces it is not rebuilt
    // when the oldest writes fall out, so a run's start outlives its write.
    const port::record::RunModel& runModel() const { return run_; }
    // The held writes of the newest run, or all of them when none is held.
    std::vector<Write> runWrites() const;

private:
    void trim();
    void rebuild();
    void takeLevels(const Write& write);
    void rebuildKeepAlive();
    void takeToggle(const Write& toggle);

    std::vector<Write> writes_;
    std::vector<Write> keepAlive_;
    std::size_t capacity_ = port::record::WriteRecord::defaultCapacity;
    std::array<Trace, port::pattern::lineCount + 1> traces_;
    port::record::LineLevels levels_;  // after the newest write held
    std::optional<bool> keepAliveLevel_;  // after the newest toggle held
    port::record::RunModel run_;
};

}  // namespace app::monitor

#endif
