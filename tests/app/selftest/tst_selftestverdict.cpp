// The self-test's verdict as the operator reads it: one spelling of each
// unit, no exponent, the figures in the locale asked for, and why a test that
// did not measure did not.
#include <QLocale>
#include <QRegularExpression>
#include <QTest>

#include <chrono>

#include "app/selftest/selftestverdict.h"
#include "port/selftest/timingselftest.h"
#include "selftestresult.h"

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(port::selftest::SelfTestFailure::Kind)

namespace {

// A run that measured: real-time granted, or refused with a reason.
port::selftest::SelfTestResult measuredResult(bool realtime)
{
    port::selftest::SelfTestResult result = measuredSelfTestResult();
    if (!realtime) {
        result.timing.grant = {};
        result.timing.grant.refusal = "SCHED_FIFO 40 refused (Operation not permitted)";
    }
    return result;
}

} // namespace

class TestSelfTestVerdict : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void wording_data();
    void wording();
    void screenFollowsTheLocale();
    void verdictIsTimingThenAssessment();
    void whyItDidNotMeasure_data();
    void whyItDidNotMeasure();
    void cutShortNoticeSaysTheFailure();
};

// The operator's locale writes a decimal comma: the command line's sentences
// must keep their full stop all the same.
void TestSelfTestVerdict::init()
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
}

void TestSelfTestVerdict::cleanup()
{
    QLocale::setDefault(QLocale::c());
}

void TestSelfTestVerdict::wording_data()
{
    QTest::addColumn<qint64>("fastP99");
    QTest::addColumn<qint64>("stall");
    QTest::addColumn<double>("cpuShare");
    QTest::addColumn<QString>("expected");
    QTest::newRow("microseconds")
        << qint64{20'100} << qint64{830'000} << 0.017
        << "At 1 kHz this PC holds 99 % of steps to within 20.1 µs of their time; outputs above ~355 Hz";
    QTest::newRow("a stall that read 1.83e+03 us")
        << qint64{20'100} << qint64{1'830'000} << 0.017 << "The longest stall was 1.83 ms: for that long";
    QTest::newRow("p99 just under a millisecond") << qint64{999'600} << qint64{0} << 0.017
                                                  << "to within 1.00 ms of their time; outputs above ~7.15 Hz";
    QTest::newRow("a stall of minutes") << qint64{1} << qint64{90'000'000'000} << 0.017
                                        << "outputs above ~7140000 Hz will show jitter of more than a tenth "
                                           "of a step. The longest stall was 1.50 min";
    QTest::newRow("a CPU share too small for %g") << qint64{20'100} << qint64{0} << 1e-9
                                                  << "sleeping before each deadline and using 0 % of a CPU.";
    QTest::newRow("a CPU share with a trailing zero") << qint64{20'100} << qint64{0} << 0.025
                                                      << "and using 2.5 % of a CPU.";
    QTest::newRow("steps early at 99 %") << qint64{-400} << qint64{0} << 0.017
                                         << "to within -0.40 µs of their time. The longest stall was 1.20 µs.";
}

// As the command line prints it, in the C locale.
void TestSelfTestVerdict::wording()
{
    QFETCH(qint64, fastP99);
    QFETCH(qint64, stall);
    QFETCH(double, cpuShare);
    QFETCH(QString, expected);
    port::selftest::SelfTestResult result = measuredResult(true);
    result.fast.p99 = std::chrono::nanoseconds(fastP99);
    result.fast.largestStall = std::chrono::nanoseconds(stall);
    result.slow.cpuShare = cpuShare;
    const QString verdict = app::selftest::selfTestVerdict(result, QLocale::c());
    QVERIFY2(verdict.contains(expected), qPrintable(verdict));
    QVERIFY2(!verdict.contains(QRegularExpression(QStringLiteral("\\d us\\b"))), qPrintable(verdict));
    QVERIFY2(!verdict.contains(QRegularExpression(QStringLiteral("\\de[-+]?\\d"))), qPrintable(verdict));
}

// The dialog's sentences are the operator's, figures and all.
void TestSelfTestVerdict::screenFollowsTheLocale()
{
    const QString assessment = app::selftest::selfTestAssessment(measuredResult(true));
    QVERIFY2(assessment.startsWith(QStringLiteral("At 30 Hz 99 % of steps start within 8,82 µs of their time, the "
                                                  "step thread sleeping before each deadline and using 1,7 % of a CPU.")),
             qPrintable(assessment));
}

// The dialog shows the timing on its own line and the assessment below it;
// the terminal gets both in one.
void TestSelfTestVerdict::verdictIsTimingThenAssessment()
{
    for (const bool realtime : {true, false}) {
        const port::selftest::SelfTestResult result = measuredResult(realtime);
        const QString assessment = app::selftest::selfTestAssessment(result, QLocale::c());
        const QString timing = realtime ? QStringLiteral("Timing: real-time (SCHED_FIFO 40)")
                                        : QStringLiteral("Timing: normal priority — other programs can delay the "
                                                         "steps (see README, Real-time priority)");
        QCOMPARE(app::selftest::selfTestVerdict(result, QLocale::c()), timing + QStringLiteral(". ") + assessment);
        QVERIFY(!assessment.contains(QStringLiteral("Timing:")));
        QCOMPARE(assessment.startsWith(QStringLiteral("Real-time priority was refused: SCHED_FIFO 40 refused")), !realtime);
    }
}

void TestSelfTestVerdict::whyItDidNotMeasure_data()
{
    using Kind = port::selftest::SelfTestFailure::Kind;
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<qint64>("duration");
    QTest::addColumn<bool>("cancelled");
    QTest::addColumn<QString>("verdict");
    // check the test's length in seconds, as it was asked for, and the limits as durations
    QTest::newRow("no memory for the record")
        << Kind::NoMemoryToRecord << qint64{200'000'000} << false
        << "The timing self-test could not run: there is not enough memory to record 0.2 s of steps; choose a "
           "shorter test.";
    QTest::newRow("not ended within its whole limit")
        << Kind::NotEnded << qint64{6'000'000'000} << false
        << "The timing self-test could not run: the step thread did not end within 6 s: it got too little of the "
           "step CPU, or its set-up did not return; close other programs and run it again.";
    QTest::newRow("not ended when told to, after a cancel")
        << Kind::NotEndedWhenTold << qint64{500'000'000} << true
        << "The timing self-test could not run: the step thread did not end within 500 ms of being told to: it "
           "got too little of the step CPU, or its set-up did not return; close other programs and run it again.";
    QTest::newRow("cancelled") << Kind::None << qint64{0} << true
                               << "The timing self-test was cancelled before it ended; run it again with no run "
                                  "under way.";
    QTest::newRow("no steps") << Kind::None << qint64{0} << false
                              << "The timing self-test made no steps: the step thread did not run. Close other "
                                 "programs and run it again.";
}

// Said without the timing, which the test did not get to know.
void TestSelfTestVerdict::whyItDidNotMeasure()
{
    QFETCH(port::selftest::SelfTestFailure::Kind, kind);
    QFETCH(qint64, duration);
    QFETCH(bool, cancelled);
    port::selftest::SelfTestResult result;
    result.failure = {kind, std::chrono::nanoseconds(duration), {}};
    result.cancelled = cancelled;
    QTEST(app::selftest::selfTestVerdict(result, QLocale::c()), "verdict");
}

// After RUN cut the test short, what went wrong as it ended is a sentence of its own.
void TestSelfTestVerdict::cutShortNoticeSaysTheFailure()
{
    port::selftest::SelfTestResult result;
    result.cancelled = true;
    const QString cutShort = QStringLiteral("The timing self-test was cut short by RUN: a run needs the step CPU. "
                                            "Run it again with no run under way.");
    QCOMPARE(app::selftest::selfTestCutShortNotice(result, QLocale::c()), cutShort);
    result.failure = {port::selftest::SelfTestFailure::Kind::NoThread, {}, "Resource temporarily unavailable"};
    QCOMPARE(app::selftest::selfTestCutShortNotice(result, QLocale::c()),
             cutShort + QStringLiteral(" Starting the self-test's thread failed: Resource temporarily unavailable; "
                                       "close other programs and run it again."));
}

QTEST_GUILESS_MAIN(TestSelfTestVerdict)
#include "tst_selftestverdict.moc"
