// Cycle periods from the record's timestamps, kept for one window.
#include "port/record/frequencymeter.h"

namespace port::record {

namespace {
constexpr double nanosecondsPerSecond = 1e9;
}  // namespace

FrequencyMeter::FrequencyMeter(std::chrono::nanoseconds window) : window_(window) {}

void FrequencyMeter::add(const std::vector<WriteRecord::Write>& writes)
{
    for (const WriteRecord::Write& write : writes) {
        if (const auto length = run_.take(write).wholeCycle)
            periods_.push_back(Period{write.nanoseconds, *length});
    }
    // Only the newest periods can be in any later window; keep the last one
    // for slow outputs whose period is longer than the window.
    if (!periods_.empty()) {
        const std::int64_t horizon = periods_.back().end - window_.count();
        while (periods_.size() > 1 && periods_.front().end <= horizon)
            periods_.pop_front();
    }
}

std::optional<double> FrequencyMeter::frequency(std::int64_t nowNanoseconds) const
{
    const std::int64_t horizon = nowNanoseconds - window_.count();
    std::int64_t total = 0;
    std::int64_t count = 0;
    for (auto period = periods_.rbegin(); period != periods_.rend() && period->end > horizon; ++period) {
        total += period->length;
        ++count;
    }
    if (count == 0 && !periods_.empty()) {
        const Period& last = periods_.back();
        if (nowNanoseconds - last.end < last.length) {
            total = last.length;
            count = 1;
        }
    }
    if (count == 0)
        return std::nullopt;
    return static_cast<double>(count) * nanosecondsPerSecond / static_cast<double>(total);
}

void FrequencyMeter::reset()
{
    periods_.clear();
    run_ = RunModel();
}

}  // namespace port::record
