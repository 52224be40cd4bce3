// Step time to delay count, through 15 significant digits as text.
#include "port/pattern/delaycount.h"

#include "port/pattern/steppattern.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace port::pattern {

namespace {
// The count was formed from the number's text, which holds 15 significant
// digits (14 after the point in scientific form); past 1e15 the text has no
// fraction to drop any more.
constexpr int digitsAfterPoint = 14;
constexpr double fifteenDigitLimit = 1e15;
// 2^63 as a double: the first value that no longer fits an int64.
constexpr double int64Limit = 9223372036854775808.0;
}  // namespace

std::int64_t delayCountFor(double stepTimeMs)
{
    const double x = stepTimeMs * passesPerMillisecond;
    if (std::isnan(x))
        return 0;
    if (std::fabs(x) >= fifteenDigitLimit) {
        if (x >= int64Limit)
            return std::numeric_limits<std::int64_t>::max();
        if (x < -int64Limit)
            return std::numeric_limits<std::int64_t>::min();
        return static_cast<std::int64_t>(std::trunc(x));
    }
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, x, std::chars_format::scientific,
                                       digitsAfterPoint);
    double rounded = 0.0;
    std::from_chars(text, written.ptr, rounded, std::chars_format::scientific);
    return static_cast<std::int64_t>(std::trunc(rounded));
}

std::chrono::nanoseconds stepLengthFor(std::int64_t delayCount)
{
    if (delayCount < 0)
        return std::chrono::nanoseconds{0};
    // Saturate rather than overflow for absurd counts.
    constexpr auto most = std::numeric_limits<std::int64_t>::max() / passLength.count() - 1;
    return passLength * (delayCount < most ? delayCount + 1 : most);
}

std::chrono::nanoseconds cycleLengthFor(std::int64_t delayCount)
{
    constexpr auto longest = std::chrono::nanoseconds::max() / 4;
    const std::chrono::nanoseconds stepLength = stepLengthFor(delayCount);
    if (stepLength > longest / static_cast<std::int64_t>(stepsPerCycle))
        return longest;
    return stepLength * static_cast<std::int64_t>(stepsPerCycle);
}

double frequencyFor(std::int64_t delayCount)
{
    const std::chrono::nanoseconds stepLength = stepLengthFor(delayCount);
    if (stepLength.count() == 0)
        return 0.0;
    return 1e9 / (static_cast<double>(stepsPerCycle) * static_cast<double>(stepLength.count()));
}

}  // namespace port::pattern
