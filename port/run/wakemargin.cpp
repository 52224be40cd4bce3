// The wake-up margin: the covered rank of the recent wake-up lateness.
#include "port/run/wakemargin.h"

#include <algorithm>

namespace port::run {

void WakeMargin::addWakeUp(std::chrono::nanoseconds lateness) noexcept
{
    samples_[next_] = std::max<std::int64_t>(lateness.count(), 0);
    next_ = (next_ + 1) % window;
    count_ = std::min(count_ + 1, window);
    if (++sinceRecompute_ < recomputeEvery)
        return;
    sinceRecompute_ = 0;
    // Until the window is full the same share is taken of what there is.
    std::array<std::int64_t, window> sorted = samples_;
    const std::size_t rank = (count_ - 1) - count_ / uncoveredShare;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(rank),
                     sorted.begin() + static_cast<std::ptrdiff_t>(count_));
    const std::int64_t covered = sorted[rank] + guard.count();
    margin_.store(std::clamp(covered, lowest.count(), highest.count()), std::memory_order_relaxed);
}

void WakeMargin::reset() noexcept
{
    count_ = 0;
    next_ = 0;
    sinceRecompute_ = 0;
    margin_.store(initial.count(), std::memory_order_relaxed);
}

}  // namespace port::run
