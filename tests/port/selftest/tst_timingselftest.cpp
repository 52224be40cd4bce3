// The self-test's figures: the lateness bins the histogram is drawn from, the
// lines for scripts, each step's lateness; and its end, which comes even when
// its step thread never gets going.
#include <QRegularExpression>
#include <QTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "port/run/sequencer.h"
#include "port/selftest/timingselftest.h"
#include "selftestresult.h"

using namespace std::chrono_literals;

namespace {

constexpr qint64 int64Max = std::numeric_limits<qint64>::max();
constexpr qint64 int64Min = std::numeric_limits<qint64>::min();

// Holds a step thread in its set-up until released, as a RealtimeKit that
// never answers would, or a CPU the thread never gets.
struct HeldSetUp {
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;

    port::run::PriorityGrant hold()
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return released; });
        return {};
    }
    void release()
    {
        {
            std::lock_guard lock(mutex);
            released = true;
        }
        changed.notify_all();
    }
};

// Waits until done() holds, giving up after a generous while.
template <typename Done>
bool eventually(Done done)
{
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
        if (std::chrono::steady_clock::now() > giveUp)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace

class TestTimingSelfTest : public QObject
{
    Q_OBJECT

private slots:
    void latenessBin_data();
    void latenessBin();
    void binStarts_data();
    void binStarts();
    void binsCountEveryStep();
    void binPosition_data();
    void binPosition();
    void binPositionRisesWithLateness();

    void figuresNameEachRate_data();
    void figuresNameEachRate();

    void stepLateness_data();
    void stepLateness();

    void measuresOrEndsAtOnce_data();
    void measuresOrEndsAtOnce();
    void endsWhileItsStepThreadHangs_data();
    void endsWhileItsStepThreadHangs();
};

// ---- lateness bins

void TestTimingSelfTest::latenessBin_data()
{
    QTest::addColumn<qint64>("lateness");
    QTest::addColumn<int>("bin");
    // check the edges: early, under 0.1 µs, each side of a log edge and a decade, past 100 ms
    QTest::newRow("most early") << int64Min << 0;
    QTest::newRow("1 ns early") << qint64{-1} << 0;
    QTest::newRow("on time") << qint64{0} << 1;
    QTest::newRow("99 ns") << qint64{99} << 1;
    QTest::newRow("0.1 µs") << qint64{100} << 2;
    QTest::newRow("just under the first log edge") << qint64{157} << 2;
    QTest::newRow("the first log edge (158 ns)") << qint64{158} << 3;
    QTest::newRow("just under 1 µs") << qint64{999} << 6;
    QTest::newRow("1 µs") << qint64{1'000} << 7;
    QTest::newRow("23 µs") << qint64{23'159} << 13;
    QTest::newRow("1 ms") << qint64{1'000'000} << 22;
    QTest::newRow("just under 100 ms") << qint64{99'999'999} << 31;
    QTest::newRow("100 ms") << qint64{100'000'000} << 32;
    QTest::newRow("latest") << int64Max << 32;
}

void TestTimingSelfTest::latenessBin()
{
    QFETCH(qint64, lateness);
    QFETCH(int, bin);
    QCOMPARE(port::selftest::latenessBin(lateness), static_cast<std::size_t>(bin));
}

void TestTimingSelfTest::binStarts_data()
{
    QTest::addColumn<int>("bin");
    QTest::addColumn<qint64>("start");
    // each decade starts exactly where it says: the axis labels sit there
    QTest::newRow("on time") << 1 << qint64{0};
    QTest::newRow("0.1 µs") << 2 << qint64{100};
    QTest::newRow("1 µs") << 7 << qint64{1'000};
    QTest::newRow("10 µs") << 12 << qint64{10'000};
    QTest::newRow("100 µs") << 17 << qint64{100'000};
    QTest::newRow("1 ms") << 22 << qint64{1'000'000};
    QTest::newRow("10 ms") << 27 << qint64{10'000'000};
    QTest::newRow("100 ms and later") << 32 << qint64{100'000'000};
}

void TestTimingSelfTest::binStarts()
{
    QFETCH(int, bin);
    QFETCH(qint64, start);
    QCOMPARE(port::selftest::latenessBinStart(static_cast<std::size_t>(bin)).count(), start);
    QCOMPARE(port::selftest::latenessBin(start), static_cast<std::size_t>(bin));
    QCOMPARE(port::selftest::latenessBin(start - 1), static_cast<std::size_t>(bin - 1));
}

void TestTimingSelfTest::binsCountEveryStep()
{
    const std::vector<std::int64_t> lateness{-5, -1, 0, 50, 99, 100, 1'000, 1'000, 2'000'000, 500'000'000, int64Max};
    const port::selftest::LatenessBins bins = port::selftest::latenessBins(lateness);
    QCOMPARE(std::accumulate(bins.begin(), bins.end(), std::uint64_t{0}), std::uint64_t{lateness.size()});
    QCOMPARE(bins[0], std::uint64_t{2});
    QCOMPARE(bins[1], std::uint64_t{3});
    QCOMPARE(bins[2], std::uint64_t{1});
    QCOMPARE(bins[7], std::uint64_t{2});
    QCOMPARE(bins[23], std::uint64_t{1});
    QCOMPARE(bins[32], std::uint64_t{2});
}

void TestTimingSelfTest::binPosition_data()
{
    QTest::addColumn<qint64>("lateness");
    QTest::addColumn<double>("position");
    QTest::newRow("early: the middle of its bin") << qint64{-3'000} << 0.5;
    QTest::newRow("on time: the start of the axis") << qint64{0} << 1.0;
    QTest::newRow("50 ns: half way, linear below 0.1 µs") << qint64{50} << 1.5;
    QTest::newRow("0.1 µs") << qint64{100} << 2.0;
    QTest::newRow("1 µs") << qint64{1'000} << 7.0;
    QTest::newRow("10 ms") << qint64{10'000'000} << 27.0;
    QTest::newRow("past 100 ms: the middle of the last bin") << qint64{3'000'000'000} << 32.5;
}

void TestTimingSelfTest::binPosition()
{
    QFETCH(qint64, lateness);
    QFETCH(double, position);
    QCOMPARE(port::selftest::latenessBinPosition(std::chrono::nanoseconds(lateness)), position);
}

// A mark drawn at a lateness lands in the bar of its bin, and later steps
// are further right, across every bin edge.
void TestTimingSelfTest::binPositionRisesWithLateness()
{
    double previous = -1.0;
    for (std::int64_t lateness = -10; lateness < 200'000'000; lateness = lateness < 10 ? lateness + 1 : lateness * 11 / 10) {
        const double position = port::selftest::latenessBinPosition(std::chrono::nanoseconds(lateness));
        const auto bin = static_cast<double>(port::selftest::latenessBin(lateness));
        QVERIFY2(position >= bin && position < bin + 1.0, qPrintable(QString::number(lateness)));
        QVERIFY2(position >= previous, qPrintable(QString::number(lateness)));
        previous = position;
    }
}

// ---- figures for scripts

// Each rate's figures carry its rate in their names, alike for both.
void TestTimingSelfTest::figuresNameEachRate_data()
{
    QTest::addColumn<QString>("line");
    QTest::newRow("30 Hz p99") << "selftest_30hz_lateness_p99: 8.82 us";
    QTest::newRow("1 kHz p99") << "selftest_1khz_lateness_p99: 20.1 us";
    QTest::newRow("30 Hz CPU share") << "selftest_30hz_step_cpu: 1.7 %";
    QTest::newRow("1 kHz stall") << "selftest_1khz_largest_stall: 1830 us";
    QTest::newRow("the test's own") << "selftest_realtime_priority: 40";
}

void TestTimingSelfTest::figuresNameEachRate()
{
    QFETCH(QString, line);
    const QStringList lines = QString::fromStdString(port::selftest::selfTestFigures(measuredSelfTestResult())).split(QLatin1Char('\n'));
    QVERIFY2(lines.contains(line), qPrintable(lines.join(QLatin1Char('\n'))));
    QVERIFY(lines.filter(QRegularExpression(QStringLiteral("^selftest_(lateness|step_length|steps):"))).isEmpty());
}

// ---- step lateness

// Step lateness from the record's data writes, 1 us steps: against the grid
// through the most punctual step, moved by a step more than a step late.
void TestTimingSelfTest::stepLateness_data()
{
    using Times = std::vector<qint64>;
    QTest::addColumn<Times>("dataWrites");  // ns
    QTest::addColumn<Times>("lateness");    // ns, ascending
    QTest::addColumn<qint64>("largestStall");
    QTest::newRow("on time") << Times{0, 1000, 2000, 3000} << Times{0, 0, 0} << qint64{0};
    QTest::newRow("one step late") << Times{0, 1000, 2300, 3000} << Times{0, 0, 300} << qint64{300};
    // The first write ended 200 ns late: the others are not early, it was late.
    QTest::newRow("first step late") << Times{200, 1000, 2000, 3000} << Times{0, 0, 0} << qint64{0};
    // 1.5 steps late: the grid moves there, and the steps after it are on time.
    QTest::newRow("grid moves") << Times{0, 1000, 3500, 4500} << Times{0, 0, 1500} << qint64{1500};
}

void TestTimingSelfTest::stepLateness()
{
    using Times = std::vector<qint64>;
    QFETCH(Times, dataWrites);
    QFETCH(Times, lateness);
    QFETCH(qint64, largestStall);
    std::vector<port::record::WriteRecord::Write> writes;
    std::uint64_t index = 0;
    for (const qint64 time : dataWrites) {
        writes.push_back({time, port::backend::dataPort, 0x60, index++});
        writes.push_back({time + 10, port::backend::controlPort, 0, index++});
    }
    const port::selftest::StepTiming timing = port::selftest::stepTiming(writes, std::chrono::nanoseconds(1000));
    QCOMPARE(Times(timing.lateness.begin(), timing.lateness.end()), lateness);
    QCOMPARE(timing.largestStall, largestStall);
}

// ---- the end

void TestTimingSelfTest::measuresOrEndsAtOnce_data()
{
    QTest::addColumn<bool>("cancelled");
    QTest::newRow("runs its length") << false;
    QTest::newRow("cancelled") << true;
}

// Each rate's figures come from its own writes; a cancelled test ends its
// step thread cleanly and measures nothing.
void TestTimingSelfTest::measuresOrEndsAtOnce()
{
    QFETCH(bool, cancelled);
    const std::atomic<bool> cancel{cancelled};
    const port::selftest::SelfTestResult result = port::selftest::runTimingSelfTest(std::chrono::milliseconds(150), cancel);
    QCOMPARE(result.failure.kind, port::selftest::SelfTestFailure::Kind::None);
    QCOMPARE(result.cancelled, cancelled);
    QCOMPARE(result.slow.steps > 0, !cancelled);
    // Twice the time at 33 times the rate: far more steps, or the writes went to the wrong rate.
    QCOMPARE(result.fast.steps > result.slow.steps, !cancelled);
    if (!cancelled) {
        // 30 Hz: delay count 23809, 23810 passes of 100 ns
        QCOMPARE(result.slow.stepLength, std::chrono::nanoseconds(2'381'000));
        QVERIFY(result.timing.known);
    }
}

void TestTimingSelfTest::endsWhileItsStepThreadHangs_data()
{
    QTest::addColumn<bool>("cancelled");
    QTest::newRow("never set up") << false;
    QTest::newRow("cancelled while setting up") << true;
}

// The call returns and says why, with the step thread still in its set-up;
// what that thread uses is freed once it lets go, and not before.
void TestTimingSelfTest::endsWhileItsStepThreadHangs()
{
    QFETCH(bool, cancelled);
    auto held = std::make_shared<HeldSetUp>();
    const std::atomic<bool> cancel{cancelled};
    port::selftest::SelfTestResult result;
    {
        const port::run::StepThreadSetup setup = [held](int) { return held->hold(); };
        result = port::selftest::runTimingSelfTest(std::chrono::milliseconds(30), cancel, setup);
    }
    QCOMPARE(result.cancelled, cancelled);
    using Kind = port::selftest::SelfTestFailure::Kind;
    QVERIFY(result.failure.kind == Kind::NotEnded || result.failure.kind == Kind::NotEndedWhenTold);
    QCOMPARE(result.fast.steps, std::uint64_t{0});
    QVERIFY(held.use_count() > 1);  // the step thread still holds its set-up

    held->release();
    QVERIFY(eventually([&held] { return held.use_count() == 1; }));
}

QTEST_APPLESS_MAIN(TestTimingSelfTest)
#include "tst_timingselftest.moc"
