// The system step clock: steady_clock to read, a futex to sleep and wake.
#include "port/run/stepclock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <climits>

namespace port::run {

namespace {

constexpr std::int64_t nanosecondsPerSecond = 1'000'000'000;

// FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline, the same
// clock clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME) sleeps on, so a
// deadline is never stretched by the time between reading the clock and
// going to sleep.
class SystemStepClock final : public StepClock {
public:
    std::chrono::nanoseconds now() noexcept override
    {
        return std::chrono::steady_clock::now().time_since_epoch();
    }

    void sleepUntil(std::chrono::nanoseconds deadline, const Word& word, std::uint32_t expected) noexcept override
    {
        static_assert(sizeof(Word) == sizeof(std::uint32_t), "a futex is one 32-bit word");
        timespec until{};
        timespec* timeout = nullptr;
        if (deadline != noDeadline) {
            until.tv_sec = static_cast<time_t>(deadline.count() / nanosecondsPerSecond);
            until.tv_nsec = static_cast<long>(deadline.count() % nanosecondsPerSecond);
            timeout = &until;
        }
        // Private: the word is never shared with another process. EINTR,
        // EAGAIN (word changed) and ETIMEDOUT all mean: look again.
        syscall(SYS_futex, reinterpret_cast<const std::uint32_t*>(&word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG,
                expected, timeout, nullptr, FUTEX_BITSET_MATCH_ANY);
    }

    void wake(Word& word) noexcept override
    {
        syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, INT_MAX,
                nullptr, nullptr, 0);
    }
};

}  // namespace

StepClock& systemStepClock() noexcept
{
    static SystemStepClock clock;
    return clock;
}

}  // namespace port::run
