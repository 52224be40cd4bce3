// How a duration is put into figures: the unit that fits it and how many
// decimals carry its significant digits, as numbers for app/ to write in the
// operator's words, so that a lateness of 1830 µs reads "1.83 ms" everywhere
// and never "1.83e+03". And the one way port/ writes a number as text, for
// scripts: in the C locale, whatever locale the program runs in.
#ifndef PORT_REPORT_DURATIONFIGURE_H
#define PORT_REPORT_DURATIONFIGURE_H

#include <chrono>
#include <string>
#include <string_view>

namespace port::report {

enum class DurationUnit { Microseconds, Milliseconds, Seconds, Minutes, Hours, Days, Years };

struct DurationFigure {
    double value = 0.0;  // in unit; negative for a negative duration
    int decimals = 0;    // to print value with
    DurationUnit unit = DurationUnit::Microseconds;
};

// µs below 1 ms, ms below 1 s, s below a minute, then min, h, days, years;
// significantDigits digits (at most two decimals: the record's resolution is
// 1 ns), rounded before the unit is chosen, so that 999.6 µs is 1.00 ms.
// A figure that rounds to nothing is 0, with no decimals.
DurationFigure durationFigure(std::chrono::nanoseconds duration, int significantDigits = 3);

// One "name: value unit" line for scripts (the self-test, fc-bench): value in
// six significant digits as %g writes it in the C locale ("71.4286",
// "1.5e-07"); no unit, no blank before the line feed.
std::string figureLine(std::string_view name, double value, std::string_view unit);

}  // namespace port::report

#endif  // PORT_REPORT_DURATIONFIGURE_H
