// The units by name for translation, the figure by the locale. Rounding is
// done on the number first, so that the locale only writes it.
#include "app/text/durationtext.h"

#include <QCoreApplication>
#include <QLocale>

#include <algorithm>
#include <cmath>

#include "port/report/durationfigure.h"

namespace app::text {

namespace {

const char* unitPattern(port::report::DurationUnit unit)
{
    switch (unit) {
    case port::report::DurationUnit::Microseconds:
        return QT_TRANSLATE_NOOP("app::DurationText", "%1 µs");
    case port::report::DurationUnit::Milliseconds:
        return QT_TRANSLATE_NOOP("app::DurationText", "%1 ms");
    case port::report::DurationUnit::Seconds:
        return QT_TRANSLATE_NOOP("app::DurationText", "%1 s");
    case port::report::DurationUnit::Minutes:
        return QT_TRANSLATE_NOOP("app::DurationText", "%1 min");
    case port::report::DurationUnit::Hours:
        return QT_TRANSLATE_NOOP("app::DurationText", "%1 h");
    case port::report::DurationUnit::Days:
        return QT_TRANSLATE_NOOP("app::DurationText", "%1 days");
    case port::report::DurationUnit::Years:
        return QT_TRANSLATE_NOOP("app::DurationText", "%1 years");
    }
    return "%1";
}

struct FrequencyUnit {
    double hertz;
    const char* pattern;
};

constexpr FrequencyUnit frequencyUnits[] = {
    {1.0, QT_TRANSLATE_NOOP("app::DurationText", "%1 Hz")},
    {1e3, QT_TRANSLATE_NOOP("app::DurationText", "%1 kHz")},
    {1e6, QT_TRANSLATE_NOOP("app::DurationText", "%1 MHz")},
};
constexpr double nextFrequencyUnit = 1000.0;

// value rounded to digits significant digits. Divided by an exact power of
// ten, so that the rounded figure is the double nearest its decimals and is
// written with no stray digits.
double roundedToDigits(double value, int digits)
{
    if (!std::isfinite(value) || value == 0.0)
        return value;
    const int decimals = digits - 1 - static_cast<int>(std::floor(std::log10(std::fabs(value))));
    const double scale = std::pow(10.0, std::abs(decimals));
    return decimals > 0 ? std::round(value * scale) / scale : std::round(value / scale) * scale;
}

constexpr int shareDigits = 2;  // decimals at most; three significant digits

} // namespace

QString durationText(std::chrono::nanoseconds duration, int significantDigits, const QLocale& locale)
{
    const port::report::DurationFigure figure = port::report::durationFigure(duration, significantDigits);
    return QCoreApplication::translate("app::DurationText", unitPattern(figure.unit))
        .arg(locale.toString(figure.value, 'f', figure.decimals));
}

QString frequencyText(double hertz, int significantDigits)
{
    const FrequencyUnit* unit = std::begin(frequencyUnits);
    double shown = roundedToDigits(hertz, significantDigits);
    // The unit follows the rounded figure: 999.9996 Hz is 1 kHz, not 1000 Hz.
    while (unit + 1 != std::end(frequencyUnits) && std::fabs(shown) >= nextFrequencyUnit * unit->hertz)
        ++unit;
    shown = roundedToDigits(hertz / unit->hertz, significantDigits);
    return QCoreApplication::translate("app::DurationText", unit->pattern)
        .arg(QLocale().toString(shown, 'f', QLocale::FloatingPointShortest));
}

QString shareText(double percentage)
{
    const auto decimalsFor = [](double value) {
        const double magnitude = std::fabs(value);
        const int order = magnitude > 0.0 ? static_cast<int>(std::floor(std::log10(magnitude))) : 0;
        return std::clamp(shareDigits - order, 0, shareDigits);
    };
    // 9.996 reads 10.0, not 10.00: the decimals follow the rounded figure.
    const double scale = std::pow(10.0, decimalsFor(percentage));
    return QLocale().toString(percentage, 'f', decimalsFor(std::round(percentage * scale) / scale));
}

QString countText(std::uint64_t count)
{
    return QLocale().toString(static_cast<qulonglong>(count));
}

}  // namespace app::text
