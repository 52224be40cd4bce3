// Durations on screen: the strip's lateness and waits, the self-test's line
// and its dialog all read the same way, in the operator's locale.
#ifndef APP_DURATIONTEXT_H
#define APP_DURATIONTEXT_H

#include <QString>

#include <chrono>

namespace app {

// "0.03 µs", "23.2 µs", "1.83 ms", "12.4 s", "1.50 min", "116 days": the unit
// that fits and significantDigits digits, never in exponent form (the
// rounding rules are port::durationFigure's). An axis takes one digit: "0.1 µs".
QString durationText(std::chrono::nanoseconds duration, int significantDigits = 3);

} // namespace app

#endif
