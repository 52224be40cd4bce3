// The measured output frequency, computed on write records made by hand:
// steady cycles, a late cycle, a slow output, a run gone quiet. Which cycles
// count as periods (whole ones: not across lost writes, STOP or a new run)
// is the run model's, tested in tst_runmodel.
#include <QTest>

#include <cstdint>
#include <vector>

#include "expectedpattern.h"
#include "port/backend/port.h"
#include "port/pattern/steppattern.h"
#include "port/record/frequencymeter.h"
#include "port/record/writerecord.h"

using Write = port::record::WriteRecord::Write;

namespace {

constexpr std::int64_t ms = 1'000'000;

// Whole cycles of the pattern, one every period, the k-th starting at
// start + k * period (plus late for the cycles listed in lateCycles).
struct Run {
    std::vector<Write> writes;
    std::uint64_t index = 0;

    void cycles(int count, std::int64_t start, std::int64_t period, int lateCycle = -1,
                std::int64_t late = 0)
    {
        for (int c = 0; c < count; ++c) {
            const std::int64_t cycleStart = start + c * period + (c == lateCycle ? late : 0);
            for (std::size_t s = 0; s < expectedSteps.size(); ++s) {
                const std::int64_t t = cycleStart + static_cast<std::int64_t>(s) * (period / 14);
                writes.push_back({t, port::backend::dataPort, expectedSteps[s].data, index++});
                writes.push_back({t + 1, port::backend::controlPort, expectedSteps[s].control, index++});
            }
        }
    }
};

}  // namespace

class TestFrequencyMeter : public QObject
{
    Q_OBJECT

private slots:
    void steadyCycles_data();
    void steadyCycles();
    void lateCycleAveragesOverTheWindow();
    void slowOutputHoldsItsLastPeriod();
    void nothingWhenTheRunHasGoneQuiet();
    void drainedInPiecesEqualsAtOnce();
};

void TestFrequencyMeter::steadyCycles_data()
{
    QTest::addColumn<qint64>("period");
    QTest::addColumn<double>("hertz");
    QTest::newRow("50 Hz") << qint64(20 * ms) << 50.0;
    QTest::newRow("1 kHz") << qint64(1 * ms) << 1000.0;
    QTest::newRow("7 Hz") << qint64(142'857'142) << 7e9 / 999'999'994.0;
}

void TestFrequencyMeter::steadyCycles()
{
    QFETCH(qint64, period);
    QFETCH(double, hertz);
    Run run;
    run.cycles(40, 0, period);
    port::record::FrequencyMeter meter;
    meter.add(run.writes);
    const auto f = meter.frequency(39 * period + 1);
    QVERIFY(f);
    QVERIFY2(qAbs(*f - hertz) < hertz * 1e-9, qPrintable(QString::number(*f, 'g', 12)));
}

// One cycle 5 ms late at 100 Hz: its period is 15 ms and the next 5 ms, so
// over the window the mean is untouched; only the periods are uneven.
void TestFrequencyMeter::lateCycleAveragesOverTheWindow()
{
    Run run;
    run.cycles(100, 0, 10 * ms, 50, 5 * ms);
    port::record::FrequencyMeter meter;
    meter.add(run.writes);
    const auto f = meter.frequency(99 * 10 * ms + 1);
    QVERIFY(f);
    QCOMPARE(qRound(*f * 1000), 100'000);
}

// 0.5 Hz: no period ends within the last second most of the time, yet the
// output is running; the reading stands until the next start is overdue.
void TestFrequencyMeter::slowOutputHoldsItsLastPeriod()
{
    Run run;
    run.cycles(3, 0, 2'000 * ms);
    port::record::FrequencyMeter meter;
    meter.add(run.writes);
    const std::int64_t lastStart = 4'000 * ms;
    QCOMPARE(*meter.frequency(lastStart + 1'500 * ms), 0.5);
    QVERIFY(!meter.frequency(lastStart + 2'500 * ms));
}

void TestFrequencyMeter::nothingWhenTheRunHasGoneQuiet()
{
    port::record::FrequencyMeter meter;
    QVERIFY(!meter.frequency(0));
    Run run;
    run.cycles(5, 0, 1 * ms);
    meter.add(run.writes);
    QVERIFY(meter.frequency(5 * ms));
    QVERIFY(!meter.frequency(5 * ms + 2'000 * ms));
    meter.reset();
    QVERIFY(!meter.frequency(5 * ms));
}

void TestFrequencyMeter::drainedInPiecesEqualsAtOnce()
{
    Run run;
    run.cycles(30, 0, 3 * ms, 10, 1 * ms);
    port::record::FrequencyMeter whole;
    whole.add(run.writes);
    port::record::FrequencyMeter pieces;
    for (std::size_t i = 0; i < run.writes.size(); i += 13)
        pieces.add(std::vector<Write>(run.writes.begin() + static_cast<std::ptrdiff_t>(i),
                                      run.writes.begin() + static_cast<std::ptrdiff_t>(
                                          std::min(i + 13, run.writes.size()))));
    QCOMPARE(*pieces.frequency(90 * ms), *whole.frequency(90 * ms));
}

QTEST_GUILESS_MAIN(TestFrequencyMeter)
#include "tst_frequencymeter.moc"
