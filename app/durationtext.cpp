// The units by name for translation, the figure by the locale.
#include "app/durationtext.h"

#include <QCoreApplication>
#include <QLocale>

#include "port/durationfigure.h"

namespace app {

namespace {

const char* unitPattern(port::DurationUnit unit)
{
    switch (unit) {
    case port::DurationUnit::Microseconds:
        return QT_TRANSLATE_NOOP("app::DurationText", "%1 µs");
    case port::DurationUnit::Milliseconds:
        return QT_TRANSLATE_NOOP("app::DurationText", "%1 ms");
    case port::DurationUnit::Seconds:
        return QT_TRANSLATE_NOOP("app::DurationText", "%1 s");
    case port::DurationUnit::Minutes:
        return QT_TRANSLATE_NOOP("app::DurationText", "%1 min");
    case port::DurationUnit::Hours:
        return QT_TRANSLATE_NOOP("app::DurationText", "%1 h");
    case port::DurationUnit::Days:
        return QT_TRANSLATE_NOOP("app::DurationText", "%1 days");
    case port::DurationUnit::Years:
        return QT_TRANSLATE_NOOP("app::DurationText", "%1 years");
    }
    return "%1";
}

} // namespace

QString durationText(std::chrono::nanoseconds duration, int significantDigits)
{
    const port::DurationFigure figure = port::durationFigure(duration, significantDigits);
    return QCoreApplication::translate("app::DurationText", unitPattern(figure.unit))
        .arg(QLocale().toString(figure.value, 'f', figure.decimals));
}

} // namespace app
