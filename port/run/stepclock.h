// The step thread's one seam to time: read the clock, sleep until an
// absolute deadline unless woken, wake a sleeper. The real one is
// CLOCK_MONOTONIC with a futex; tests drive the sequencer with a fake one
// and count its sleeps.
#ifndef PORT_RUN_STEPCLOCK_H
#define PORT_RUN_STEPCLOCK_H

#include <atomic>
#include <chrono>
#include <cstdint>

namespace port::run {

class StepClock {
public:
    using Word = std::atomic<std::uint32_t>;
    static constexpr std::chrono::nanoseconds noDeadline = std::chrono::nanoseconds::max();

    virtual ~StepClock() = default;
    // Monotonic time since the clock's epoch; the write record's clock.
    virtual std::chrono::nanoseconds now() noexcept = 0;
    // Blocks until deadline (absolute, on now()'s clock; noDeadline: until
    // woken), or until word no longer holds expected. Returns at once when
    // it already does not, so a wake between reading word and sleeping is
    // never lost. May return early for no reason; callers look again.
    virtual void sleepUntil(std::chrono::nanoseconds deadline, const Word& word,
                            std::uint32_t expected) noexcept = 0;
    // Wakes every sleeper on word; the caller has changed word first.
    virtual void wake(Word& word) noexcept = 0;
};

// CLOCK_MONOTONIC (steady_clock) and a futex wait with an absolute
// CLOCK_MONOTONIC deadline: a clock_nanosleep that STOP and EXIT can cut short.
StepClock& systemStepClock() noexcept;

}  // namespace port::run

#endif  // PORT_RUN_STEPCLOCK_H
