// How long before a deadline the step thread must wake so that it is on
// time: learned from how late its recent wake-ups came.
#ifndef PORT_RUN_WAKEMARGIN_H
#define PORT_RUN_WAKEMARGIN_H

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace port::run {

class WakeMargin {
public:
    // Bounds: below the lower one the clock read and the write that follow a
    // wake-up would make the step late; above the upper one a step would
    // spin for longer than the kernel lets a real-time thread go unblocked
    // gladly, and sleeping would no longer pay.
    static constexpr std::chrono::nanoseconds lowest{20'000};
    static constexpr std::chrono::nanoseconds highest{1'000'000};
    // Until enough wake-ups are measured: what cyclictest shows at its worst
    // on an ordinary PC, less the rare stalls no margin can cover.
    static constexpr std::chrono::nanoseconds initial{200'000};
    // Below this there is no point in sleeping: the futex call costs more.
    static constexpr std::chrono::nanoseconds shortestSleep{5'000};

    // The margin covers all but one in uncoveredShare of the recent wake-ups
    // (the 99th percentile: the latest ones are the machine's stalls, which
    // no margin would cover), plus a guard for the clock read and the write
    // after waking. Covering more costs spinning and, measured, buys nothing.
    static constexpr std::size_t window = 256;
    static constexpr std::size_t uncoveredShare = 100;
    static constexpr std::chrono::nanoseconds guard{10'000};
    static constexpr std::size_t recomputeEvery = 64;

    // Step thread only. No allocation, no lock.
    void addWakeUp(std::chrono::nanoseconds lateness) noexcept;
    // Starts learning again (a new priority makes old wake-ups meaningless).
    void reset() noexcept;

    // Any thread.
    std::chrono::nanoseconds margin() const noexcept
    {
        return std::chrono::nanoseconds(margin_.load(std::memory_order_relaxed));
    }

private:
    std::array<std::int64_t, window> samples_{};
    std::size_t count_ = 0;  // samples taken since reset, saturating at window
    std::size_t next_ = 0;
    std::size_t sinceRecompute_ = 0;
    std::atomic<std::int64_t> margin_{initial.count()};
};

}  // namespace port::run

#endif  // PORT_RUN_WAKEMARGIN_H
