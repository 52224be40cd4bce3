// Whole sentences for translation, the figures put in by the locale.
#include "app/selftest/selftestverdict.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cmath>

#include "app/text/durationtext.h"
#include "app/text/timingtext.h"
#include "port/pattern/steppattern.h"
#include "port/selftest/timingselftest.h"

namespace app::selftest {

namespace {

using namespace std::chrono_literals;

struct SelfTestVerdict {
    Q_DECLARE_TR_FUNCTIONS(app::SelfTestVerdict)
};

using Failure = port::selftest::SelfTestFailure;

constexpr double percent = 100.0;
constexpr double nanosecondsPerSecond = 1e9;
// A step off by more than this share of its length is visible jitter.
constexpr double jitterShare = 0.1;
// A stall this long holds a step for a time an operator would notice on a motor.
constexpr auto noticeableStall = 1ms;

// Three significant digits, never in exponent form, no trailing zeros:
// 0.0213, 18.7, 2.5, 599, 12300.
QString figureText(double value, const QLocale& locale)
{
    const double magnitude = std::fabs(value);
    if (magnitude >= 100.0) {
        const double scale = std::pow(10.0, std::floor(std::log10(magnitude)) - 2.0);
        return locale.toString(std::round(value / scale) * scale, 'f', 0);
    }
    // Below a ten-thousandth a share or a rate is nothing to the operator.
    constexpr int mostDecimals = 4;
    const int order = magnitude > 0.0 ? static_cast<int>(std::floor(std::log10(magnitude))) : 0;
    QString text = locale.toString(value, 'f', std::clamp(2 - order, 0, mostDecimals));
    // Trailing zeros carry nothing here: "2.50" reads "2.5", "0.0000" reads "0".
    if (text.contains(locale.decimalPoint())) {
        while (text.endsWith(locale.zeroDigit()))
            text.chop(locale.zeroDigit().size());
        if (text.endsWith(locale.decimalPoint()))
            text.chop(locale.decimalPoint().size());
    }
    return text == locale.negativeSign() + locale.zeroDigit() ? locale.zeroDigit() : text;
}

// The test's length in seconds, as --self-test-seconds gives it: "60 s", "0.2 s".
QString secondsText(std::chrono::nanoseconds duration, const QLocale& locale)
{
    return SelfTestVerdict::tr("%1 s").arg(figureText(static_cast<double>(duration.count()) / nanosecondsPerSecond, locale));
}

// What went wrong, as the second half of a sentence: "the step thread did
// not end within 500 ms of being told to: ...".
QString failureText(const Failure& failure, const QLocale& locale)
{
    const QString error = QString::fromStdString(failure.error);
    switch (failure.kind) {
    case Failure::Kind::None:
        break;
    case Failure::Kind::NoThread:
        return SelfTestVerdict::tr("starting the self-test's thread failed: %1; close other programs and run it again")
            .arg(error);
    case Failure::Kind::Error:
        return error;
    case Failure::Kind::NoMemoryToRecord:
        return SelfTestVerdict::tr("there is not enough memory to record %1 of steps; choose a shorter test")
            .arg(secondsText(failure.duration, locale));
    case Failure::Kind::NoMemoryToAnalyse:
        return SelfTestVerdict::tr("there is not enough memory to analyse %1 of steps; choose a shorter test")
            .arg(secondsText(failure.duration, locale));
    case Failure::Kind::NotStopped:
        return SelfTestVerdict::tr("the step thread did not come to a stop within %1: it got too little of the step "
                                   "CPU; close other programs and run it again")
            .arg(text::durationText(failure.duration, 3, locale));
    case Failure::Kind::NotEndedWhenTold:
        return SelfTestVerdict::tr("the step thread did not end within %1 of being told to: it got too little of the "
                                   "step CPU, or its set-up did not return; close other programs and run it again")
            .arg(text::durationText(failure.duration, 3, locale));
    case Failure::Kind::NotEnded:
        return SelfTestVerdict::tr("the step thread did not end within %1: it got too little of the step CPU, or its "
                                   "set-up did not return; close other programs and run it again")
            .arg(secondsText(failure.duration, locale));
    }
    return {};
}

bool measured(const port::selftest::SelfTestResult& result)
{
    return !result.failed() && !result.cancelled && result.fast.steps > 0 && result.slow.steps > 0;
}

} // namespace

QString selfTestVerdict(const port::selftest::SelfTestResult& result, const QLocale& locale)
{
    if (!measured(result))
        return selfTestAssessment(result, locale);
    return SelfTestVerdict::tr("%1. %2").arg(text::timingText(result.timing), selfTestAssessment(result, locale));
}

QString selfTestAssessment(const port::selftest::SelfTestResult& result, const QLocale& locale)
{
    if (result.failed())
        return SelfTestVerdict::tr("The timing self-test could not run: %1.").arg(failureText(result.failure, locale));
    if (result.cancelled)
        return SelfTestVerdict::tr("The timing self-test was cancelled before it ended; run it again with no run "
                                   "under way.");
    if (!measured(result))
        return SelfTestVerdict::tr("The timing self-test made no steps: the step thread did not run. Close other "
                                   "programs and run it again.");
    const port::selftest::RateTiming& fast = result.fast;
    const port::selftest::RateTiming& slow = result.slow;
    const port::run::PriorityGrant& grant = result.timing.grant;
    QStringList sentences;
    if (grant.priorityClass != port::run::PriorityClass::Realtime && !grant.refusal.empty())
        sentences << SelfTestVerdict::tr("Real-time priority was refused: %1.").arg(QString::fromStdString(grant.refusal));

    const QString slowP99 = text::durationText(slow.p99, 3, locale);
    const QString slowShare = figureText(slow.cpuShare * percent, locale);
    if (slow.sleepsPerStep > 0.0)
        sentences << SelfTestVerdict::tr("At 30 Hz 99 % of steps start within %1 of their time, the step thread "
                                         "sleeping before each deadline and using %2 % of a CPU.")
                         .arg(slowP99, slowShare);
    else
        sentences << SelfTestVerdict::tr("At 30 Hz 99 % of steps start within %1 of their time, the step thread "
                                         "spinning and using %2 % of a CPU.")
                         .arg(slowP99, slowShare);

    const QString fastP99 = text::durationText(fast.p99, 3, locale);
    if (fast.p99 > 0ns) {
        // Jitter shows once p99 lateness is a tenth of a step: 14 steps a cycle.
        const double limitHz = jitterShare * nanosecondsPerSecond /
                               (static_cast<double>(port::pattern::stepsPerCycle) * static_cast<double>(fast.p99.count()));
        sentences << SelfTestVerdict::tr("At 1 kHz this PC holds 99 % of steps to within %1 of their time; outputs "
                                         "above ~%2 Hz will show jitter of more than a tenth of a step.")
                         .arg(fastP99, figureText(limitHz, locale));
    } else {
        sentences << SelfTestVerdict::tr("At 1 kHz this PC holds 99 % of steps to within %1 of their time.").arg(fastP99);
    }

    const std::chrono::nanoseconds largestStall = std::max(fast.largestStall, slow.largestStall);
    const QString stall = text::durationText(largestStall, 3, locale);
    if (largestStall >= noticeableStall)
        sentences << SelfTestVerdict::tr("The longest stall was %1: for that long one step stays on the wires. Close "
                                         "other programs before running a motor, and use a PC with a CPU kept free "
                                         "for the steps where the motor needs even steps.")
                         .arg(stall);
    else
        sentences << SelfTestVerdict::tr("The longest stall was %1.").arg(stall);
    return sentences.join(QLatin1Char(' '));
}

QString selfTestCutShortNotice(const port::selftest::SelfTestResult& result, const QLocale& locale)
{
    const QString notice = SelfTestVerdict::tr("The timing self-test was cut short by RUN: a run needs the step CPU. "
                                               "Run it again with no run under way.");
    // "the step thread did not end within 500 ms of being told to: ..." as a sentence of its own.
    QString failure = failureText(result.failure, locale);
    if (failure.isEmpty())
        return notice;
    failure[0] = failure[0].toUpper();
    return SelfTestVerdict::tr("%1 %2.").arg(notice, failure);
}

}  // namespace app::selftest
