// The trace's writes, edges and run (see tracemodel.h).
#include "app/monitor/tracemodel.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace app::monitor {

void TraceModel::setWrites(std::vector<Write> writes)
{
    writes_ = std::move(writes);
    run_ = {};
    // The run's start may be among the writes that do not fit.
    run_.take(writes_);
    trim();
    rebuild();
}

void TraceModel::appendWrites(const std::vector<Write>& writes)
{
    if (writes.empty())
        return;
    const bool gap = !writes_.empty() && writes.front().index != writes_.back().index + 1;
    if (gap)
        writes_.clear();
    run_.take(writes);
    writes_.insert(writes_.end(), writes.begin(), writes.end());
    if (gap || writes_.size() > capacity_) {
        // The oldest writes fall out; their edges must go too.
        trim();
        rebuild();
    } else {
        for (const Write& write : writes)
            takeLevels(write);
    }
}

void TraceModel::setCapacity(std::size_t capacity)
{
    capacity_ = std::max<std::size_t>(1, capacity);
    if (writes_.size() > capacity_) {
        trim();
        rebuild();
    }
    if (keepAlive_.size() > capacity_)
        rebuildKeepAlive();
}

void TraceModel::setKeepAlive(std::vector<Write> toggles)
{
    keepAlive_ = std::move(toggles);
    rebuildKeepAlive();
}

// Toggles lost in between (never at 200 a second and 30 frames) would draw
// a level across them: the held ones go.
void TraceModel::appendKeepAlive(const std::vector<Write>& toggles)
{
    if (toggles.empty())
        return;
    const bool gap = !keepAlive_.empty() && toggles.front().index != keepAlive_.back().index + 1;
    if (gap)
        keepAlive_.clear();
    keepAlive_.insert(keepAlive_.end(), toggles.begin(), toggles.end());
    if (gap || keepAlive_.size() > capacity_) {
        rebuildKeepAlive();
        return;
    }
    for (const Write& toggle : toggles)
        takeToggle(toggle);
}

void TraceModel::rebuildKeepAlive()
{
    if (keepAlive_.size() > capacity_)
        keepAlive_.erase(keepAlive_.begin(), keepAlive_.end() - static_cast<std::ptrdiff_t>(capacity_));
    traces_[keepAliveLine] = {};
    keepAliveLevel_.reset();
    for (const Write& toggle : keepAlive_)
        takeToggle(toggle);
}

void TraceModel::takeToggle(const Write& toggle)
{
    const bool set = toggle.value != 0;
    if (keepAliveLevel_ == set)
        return;
    Trace& trace = traces_[keepAliveLine];
    if (!keepAliveLevel_)
        trace.firstLevel = set;
    trace.edges.push_back(toggle.nanoseconds);
    keepAliveLevel_ = set;
}

std::vector<TraceModel::Write> TraceModel::runWrites() const
{
    const auto& run = run_.run();
    if (!run)
        return writes_;
    const auto first = std::lower_bound(
        writes_.begin(), writes_.end(), run->firstIndex,
        [](const Write& write, std::uint64_t index) { return write.index < index; });
    return {first, writes_.end()};
}

void TraceModel::trim()
{
    if (writes_.size() > capacity_)
        writes_.erase(writes_.begin(), writes_.end() - static_cast<std::ptrdiff_t>(capacity_));
}

void TraceModel::rebuild()
{
    for (std::size_t line = 0; line < port::pattern::lineCount; ++line)
        traces_[line] = {};
    levels_ = {};
    for (const Write& write : writes_)
        takeLevels(write);
}

void TraceModel::takeLevels(const Write& write)
{
    const port::record::LineLevels before = levels_;
    if (!port::record::applyWrite(write, levels_))
        return;
    for (std::size_t line = 0; line < levels_.size(); ++line) {
        if (levels_[line] == before[line])
            continue;
        Trace& trace = traces_[line];
        if (trace.edges.empty())
            trace.firstLevel = *levels_[line];
        trace.edges.push_back(write.nanoseconds);
    }
}

}  // namespace app::monitor
