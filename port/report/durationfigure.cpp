// The units a duration is read in, and the rounding that picks one. A
// figure line becomes text through std::to_chars alone: printf follows the
// locale the program set (QApplication sets the user's), and would write
// "2,50" in German.
#include "port/report/durationfigure.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>

namespace port::report {

namespace {

struct Unit {
    DurationUnit unit;
    double nanoseconds;
    double nextUnitHolds;  // how many of this unit make the next one
};

constexpr Unit units[] = {
    {DurationUnit::Microseconds, 1e3, 1000.0},
    {DurationUnit::Milliseconds, 1e6, 1000.0},
    {DurationUnit::Seconds, 1e9, 60.0},
    {DurationUnit::Minutes, 60e9, 60.0},
    {DurationUnit::Hours, 3600e9, 24.0},
    {DurationUnit::Days, 86400e9, 365.25},
    {DurationUnit::Years, 31557600e9, std::numeric_limits<double>::infinity()},
};

// Below 1 µs, digits beyond the second decimal are below the record's 1 ns.
constexpr int mostDecimals = 2;

int decimalsFor(double magnitude, int significantDigits)
{
    if (magnitude <= 0.0)
        return mostDecimals;
    const int order = static_cast<int>(std::floor(std::log10(magnitude)));
    return std::clamp(significantDigits - 1 - order, 0, mostDecimals);
}

double rounded(double value, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

}  // namespace

DurationFigure durationFigure(std::chrono::nanoseconds duration, int significantDigits)
{
    const double nanoseconds = static_cast<double>(duration.count());
    const double magnitude = std::fabs(nanoseconds);
    for (const Unit& unit : units) {
        const double value = magnitude / unit.nanoseconds;
        // 9.996 shows as 10.0, not 10.00: the decimals follow the rounded figure.
        const double shown = rounded(value, decimalsFor(value, significantDigits));
        if (shown >= unit.nextUnitHolds)
            continue;
        if (shown == 0.0)
            return {0.0, 0, DurationUnit::Microseconds};
        return {std::copysign(value, nanoseconds), decimalsFor(shown, significantDigits), unit.unit};
    }
    return {};  // not reached: the last unit holds everything
}

std::string figureLine(std::string_view name, double value, std::string_view unit)
{
    std::array<char, 32> number{};  // "%.6g" of any double: at most "-1.79769e+308"
    const auto written =
        std::to_chars(number.data(), number.data() + number.size(), value, std::chars_format::general, 6);
    std::string line(name);
    line += ": ";
    line.append(number.data(), written.ptr);
    if (!unit.empty()) {
        line += ' ';
        line += unit;
    }
    line += '\n';
    return line;
}

}  // namespace port::report
