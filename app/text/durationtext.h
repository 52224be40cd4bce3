// Figures on screen, in the operator's locale: durations, frequencies, shares
// and counts each read one way wherever they appear (the strip, the
// self-test's line, its dialog and histograms, the monitor).
#ifndef APP_TEXT_DURATIONTEXT_H
#define APP_TEXT_DURATIONTEXT_H

#include <QLocale>
#include <QString>

#include <chrono>
#include <cstdint>

namespace app::text {

// "0.03 µs", "23.2 µs", "1.83 ms", "12.4 s", "1.50 min", "116 days": the unit
// that fits and significantDigits digits, never in exponent form (the
// rounding rules are port::report::durationFigure's). An axis takes one digit: "0.1 µs".
// In locale's digits: the command line's sentences take the C locale's.
QString durationText(std::chrono::nanoseconds duration, int significantDigits = 3, const QLocale& locale = QLocale());

// "50 Hz", "29.9994 Hz", "1 kHz", "714.286 kHz", "0.0000115741 Hz": Hz, kHz
// or MHz, whichever the figure rounded to significantDigits digits fits
// (999.9996 Hz is 1 kHz), no trailing zeros, never in exponent form.
QString frequencyText(double hertz, int significantDigits = 6);

// A percentage without its sign, three significant digits and at most two
// decimals: "97.5", "1.70", "0.05".
QString shareText(double percentage);

// "1,260" in English, "1.260" in German.
QString countText(std::uint64_t count);

}  // namespace app::text

#endif
