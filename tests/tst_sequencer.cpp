// The step sequencer: pattern order, dwell pass counts, STOP and RUN from
// every state, abandon, port errors, state announcements, the one-writer
// rule (through a recording port) and the dwell grid (through a fake clock).
#include "port/delaycount.h"
#include "port/module1.h"
#include "port/sequencer.h"
#include "port/steppattern.h"
#include "recordingport.h"

#include <QTest>

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

#if defined(__SANITIZE_THREAD__)
// Qt's libraries are not built with ThreadSanitizer, so it cannot see how
// QtTest joins its own watchdog thread; leave the calls Qt itself makes
// alone. The code under test is plain C++ and stays fully checked.
extern "C" const char* __tsan_default_suppressions()
{
    return "called_from_lib:libQt6Core.so.6\ncalled_from_lib:libQt6Test.so.6\n";
}
#endif

namespace {

// Time that moves only when read: each now() advances it by tick(), so a
// dwell ends after a known number of reads, whatever the machine's speed.
template <int Tag>
struct FakeClock {
    using rep = std::int64_t;
    using period = std::nano;
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<FakeClock>;
    static constexpr bool is_steady = true;

    static inline std::atomic<std::int64_t> ticks{0};
    static inline std::atomic<std::int64_t> tick{10};

    static time_point now() { return time_point(duration(ticks.fetch_add(tick.load()))); }
    static std::int64_t peek() { return ticks.load(); }
    static void jump(duration by) { ticks.fetch_add(by.count()); }
};

// Waits for a condition the sequencer thread brings about; the limit only
// keeps a broken build from hanging, it is not a timing requirement.
template <class Predicate>
bool eventually(Predicate predicate)
{
    const auto giveUp = std::chrono::steady_clock::now() + 20s;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > giveUp)
            return false;
        std::this_thread::sleep_for(20us);
    }
    return true;
}

// Checks that writes are whole cycles and idle pairs only, each run's writes
// from one thread. Returns what is wrong, or an empty string; counts cycles.
QString checkWrites(const std::vector<RecordingPort::Write>& writes, std::size_t* cycles = nullptr)
{
    std::size_t at = 0;
    std::size_t whole = 0;
    std::thread::id runThread;
    while (at < writes.size()) {
        const auto& first = writes[at];
        if (first.address == port::dataPort && first.value == port::idleData) {
            if (at + 1 >= writes.size() || writes[at + 1].address != port::controlPort ||
                writes[at + 1].value != port::idleControl)
                return QStringLiteral("broken idle pair at write %1").arg(at);
            if (writes[at + 1].thread != first.thread)
                return QStringLiteral("idle pair from two threads at write %1").arg(at);
            runThread = {};
            at += 2;
            continue;
        }
        if (runThread == std::thread::id{})
            runThread = first.thread;
        for (std::size_t step = 0; step < port::stepsPerCycle; ++step) {
            const std::size_t data = at + 2 * step;
            if (data + 1 >= writes.size())
                return QStringLiteral("cycle cut short at write %1").arg(data);
            const auto& d = writes[data];
            const auto& c = writes[data + 1];
            if (d.address != port::dataPort || d.value != port::stepPattern[step].data ||
                c.address != port::controlPort || c.value != port::stepPattern[step].control)
                return QStringLiteral("step %1 wrong at write %2").arg(step + 1).arg(data);
            if (d.thread != runThread || c.thread != runThread)
                return QStringLiteral("second writer during a run at write %1").arg(data);
        }
        at += 2 * port::stepsPerCycle;
        ++whole;
    }
    if (cycles)
        *cycles = whole;
    return {};
}

bool endsIdle(const std::vector<RecordingPort::Write>& writes)
{
    const auto n = writes.size();
    return n >= 2 && writes[n - 2].address == port::dataPort && writes[n - 2].value == port::idleData &&
           writes[n - 1].address == port::controlPort && writes[n - 1].value == port::idleControl;
}

// Announcements and error lines, gathered from whichever thread sends them.
template <class Seq>
struct Observed {
    std::mutex mutex;
    std::vector<typename Seq::State> states;
    std::vector<std::string> errors;

    typename Seq::Callbacks callbacks()
    {
        return {[this](typename Seq::State state) {
                    std::lock_guard lock(mutex);
                    states.push_back(state);
                },
                [this](const std::string& line) {
                    std::lock_guard lock(mutex);
                    errors.push_back(line);
                }};
    }
    std::vector<typename Seq::State> statesSeen()
    {
        std::lock_guard lock(mutex);
        return states;
    }
    // state() turns Idle just before the loop's announcement is delivered.
    bool lastSeen(typename Seq::State state)
    {
        return eventually([&] {
            const auto seen = statesSeen();
            return !seen.empty() && seen.back() == state;
        });
    }
    std::vector<std::string> errorsSeen()
    {
        std::lock_guard lock(mutex);
        return errors;
    }
};

using State = port::Sequencer::State;

// Runs count until at least cycles whole cycles are out, then stops and
// waits for Idle.
bool runFor(port::Sequencer& sequencer, std::int64_t count, std::uint64_t cycles)
{
    sequencer.run(count);
    const bool ran = eventually([&] { return sequencer.cyclesWritten() >= cycles; });
    sequencer.stop();
    return eventually([&] { return sequencer.state() == State::Idle; }) && ran;
}

}  // namespace

class TestSequencer : public QObject {
    Q_OBJECT

private slots:
    void patternOrder_data();
    void patternOrder();
    void dwellPasses_data();
    void dwellPasses();
    void unsetStepTimeRunsWithCountZero();
    void stopWhenIdleWritesIdleAtOnce();
    void stopRightAfterRunEndsIdle();
    void stopWhileRunningCompletesTheCycle();
    void runWhileRunningTakesCountAtNextCycle();
    void runWhileStoppingTakesTheStopBack();
    void randomRunStopRacesEndIdle();
    void abandonWhileRunningWritesNothingMore();
    void abandonWhenIdleWritesNothingMore();
    void abandonCutsADwellShort();
    void portErrorReportsOnceAndStops();
    void portErrorOnStopWhenIdleIsReported();
    void stateChangesAnnouncedOnlyWhenReal();
    void lateStepMovesTheGrid();
    void writeTimeDoesNotLengthenThePeriod();
};

void TestSequencer::patternOrder_data()
{
    QTest::addColumn<qint64>("count");
    QTest::newRow("no dwell") << qint64{-1};
    QTest::newRow("count 0") << qint64{0};
    QTest::newRow("count 3") << qint64{3};
}

void TestSequencer::patternOrder()
{
    QFETCH(qint64, count);
    RecordingPort recorder;
    port::Module1 module(recorder);
    port::Sequencer sequencer(module, {});
    QVERIFY(runFor(sequencer, count, 2));

    const auto writes = recorder.writes();
    QVERIFY(writes.size() >= 2 * 2 * port::stepsPerCycle + 2);
    QCOMPARE(writes[0].address, port::dataPort);
    QCOMPARE(writes[0].value, std::uint8_t{0x60});
    QCOMPARE(writes[1].address, port::controlPort);
    QCOMPARE(writes[1].value, std::uint8_t{0});
    for (std::size_t step = 0; step < port::stepsPerCycle; ++step) {
        QCOMPARE(writes[2 * step].address, port::dataPort);
        QCOMPARE(writes[2 * step].value, port::stepPattern[step].data);
        QCOMPARE(writes[2 * step + 1].address, port::controlPort);
        QCOMPARE(writes[2 * step + 1].value, port::stepPattern[step].control);
    }
    QCOMPARE(writes[2 * 13].value, std::uint8_t{0x28});  // step 14, then the pattern again
    QCOMPARE(writes[2 * 14].value, std::uint8_t{0x60});
    QCOMPARE(checkWrites(writes), QString());
    QVERIFY(endsIdle(writes));
}

void TestSequencer::dwellPasses_data()
{
    QTest::addColumn<qint64>("count");
    QTest::addColumn<qint64>("passesPerStep");
    QTest::newRow("count 0: one pass") << qint64{0} << qint64{1};
    QTest::newRow("count 625: 626 passes") << qint64{625} << qint64{626};
    QTest::newRow("negative: no pass") << qint64{-5} << qint64{0};
}

void TestSequencer::dwellPasses()
{
    QFETCH(qint64, count);
    QFETCH(qint64, passesPerStep);
    RecordingPort recorder;
    port::Module1 module(recorder);
    port::Sequencer sequencer(module, {});
    QVERIFY(runFor(sequencer, count, 2));
    const std::uint64_t cycles = sequencer.cyclesWritten();
    QVERIFY(cycles >= 2);
    QCOMPARE(sequencer.dwellPasses(), cycles * port::stepsPerCycle * static_cast<std::uint64_t>(passesPerStep));
}

void TestSequencer::unsetStepTimeRunsWithCountZero()
{
    RecordingPort recorder;
    port::Module1 module(recorder);
    port::Sequencer sequencer(module, {});
    QVERIFY(runFor(sequencer, port::delayCountFor(0.0), 1));
    QCOMPARE(sequencer.delayCount(), std::int64_t{0});
    QCOMPARE(sequencer.dwellPasses(), sequencer.cyclesWritten() * port::stepsPerCycle);
}

void TestSequencer::stopWhenIdleWritesIdleAtOnce()
{
    RecordingPort recorder;
    port::Module1 module(recorder);
    Observed<port::Sequencer> observed;
    port::Sequencer sequencer(module, observed.callbacks());
    sequencer.stop();
    const auto writes = recorder.writes();
    QCOMPARE(writes.size(), std::size_t{2});
    QCOMPARE(writes[0].address, port::dataPort);
    QCOMPARE(writes[0].value, std::uint8_t{0});
    QCOMPARE(writes[1].address, port::controlPort);
    QCOMPARE(writes[1].value, std::uint8_t{2});
    QVERIFY(writes[0].thread == std::this_thread::get_id());
    QVERIFY(observed.statesSeen().empty());  // Idle stays Idle
}

void TestSequencer::stopRightAfterRunEndsIdle()
{
    RecordingPort recorder;
    port::Module1 module(recorder);
    port::Sequencer sequencer(module, {});
    sequencer.run(0);
    sequencer.stop();
    QVERIFY(eventually([&] { return sequencer.state() == State::Idle; }));
    const auto writes = recorder.writes();
    std::size_t cycles = 0;
    QCOMPARE(checkWrites(writes, &cycles), QString());
    QVERIFY(endsIdle(writes));
    QCOMPARE(writes.size(), cycles * 2 * port::stepsPerCycle + 2);
}

void TestSequencer::stopWhileRunningCompletesTheCycle()
{
    RecordingPort recorder;
    port::Module1 module(recorder);
    port::Sequencer sequencer(module, {});
    QVERIFY(runFor(sequencer, 2, 3));
    const auto writes = recorder.writes();
    std::size_t cycles = 0;
    QCOMPARE(checkWrites(writes, &cycles), QString());
    QVERIFY(endsIdle(writes));
    QCOMPARE(writes.size(), cycles * 2 * port::stepsPerCycle + 2);  // one idle pair, at the end
    QCOMPARE(std::uint64_t{cycles}, sequencer.cyclesWritten());
    QVERIFY(!recorder.overlapped());
}

void TestSequencer::runWhileRunningTakesCountAtNextCycle()
{
    constexpr std::int64_t before = 5;
    constexpr std::int64_t after = 10;
    RecordingPort recorder;
    port::Module1 module(recorder);
    port::Sequencer sequencer(module, {});
    sequencer.run(before);
    QVERIFY(eventually([&] { return sequencer.cyclesWritten() >= 3; }));
    sequencer.run(after);
    QCOMPARE(sequencer.delayCount(), after);
    const std::uint64_t switched = sequencer.cyclesWritten();
    QVERIFY(eventually([&] { return sequencer.cyclesWritten() >= switched + 3; }));
    sequencer.stop();
    QVERIFY(eventually([&] { return sequencer.state() == State::Idle; }));

    // Every cycle made 14 x 6 or 14 x 11 passes, never a mix within a cycle.
    const auto cycles = static_cast<std::int64_t>(sequencer.cyclesWritten());
    const auto passes = static_cast<std::int64_t>(sequencer.dwellPasses());
    const std::int64_t extra = passes - cycles * 14 * (before + 1);
    QCOMPARE(extra % (14 * (after - before)), std::int64_t{0});
    const std::int64_t newCycles = extra / (14 * (after - before));
    QVERIFY(newCycles >= 3);
    QVERIFY(newCycles <= cycles - 3);
}

void TestSequencer::runWhileStoppingTakesTheStopBack()
{
    // A clock held still keeps the loop inside step 1 while stop and run
    // come, so the stop is sure to be taken back before the cycle ends.
    using Clock = FakeClock<4>;
    Clock::tick = 0;
    RecordingPort recorder;
    port::Module1 module(recorder);
    Observed<port::BasicSequencer<Clock>> observed;
    port::BasicSequencer<Clock> sequencer(module, observed.callbacks());
    sequencer.run(5);
    QVERIFY(eventually([&] { return recorder.size() >= 2; }));
    sequencer.stop();
    QCOMPARE(sequencer.state(), State::Stopping);
    sequencer.run(1);
    QCOMPARE(sequencer.state(), State::Running);
    Clock::tick = 10;
    QVERIFY(eventually([&] { return sequencer.cyclesWritten() >= 3; }));
    sequencer.stop();
    QVERIFY(eventually([&] { return sequencer.state() == State::Idle; }));
    QVERIFY(observed.lastSeen(State::Idle));
    const auto writes = recorder.writes();
    std::size_t cycles = 0;
    QCOMPARE(checkWrites(writes, &cycles), QString());
    QCOMPARE(writes.size(), cycles * 2 * port::stepsPerCycle + 2);  // no idle pair in between
    QCOMPARE(observed.statesSeen(), (std::vector<State>{State::Running, State::Stopping, State::Running,
                                                        State::Stopping, State::Idle}));
}

void TestSequencer::randomRunStopRacesEndIdle()
{
    RecordingPort recorder;
    port::Module1 module(recorder);
    port::Sequencer sequencer(module, {});
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> countOf(-2, 2);
    std::uniform_int_distribution<int> pauseOf(0, 3);
    const auto pause = [&] {
        switch (pauseOf(random)) {
        case 0: break;
        case 1: std::this_thread::yield(); break;
        default: std::this_thread::sleep_for(std::chrono::microseconds(random() % 50)); break;
        }
    };
    for (int round = 0; round < 1000; ++round) {
        sequencer.run(countOf(random));
        pause();
        sequencer.stop();
        if (random() % 2) {
            pause();
            sequencer.run(countOf(random));  // often while Stopping
            pause();
            sequencer.stop();
        }
        QVERIFY2(eventually([&] { return sequencer.state() == State::Idle; }),
                 qPrintable(QStringLiteral("round %1 never went idle").arg(round)));
        const auto writes = recorder.writes();
        QVERIFY2(endsIdle(writes), qPrintable(QStringLiteral("round %1").arg(round)));
        const QString wrong = checkWrites(writes);
        QVERIFY2(wrong.isEmpty(), qPrintable(QStringLiteral("round %1: ").arg(round) + wrong));
        recorder.clear();
    }
    QVERIFY(!recorder.overlapped());
}

void TestSequencer::abandonWhileRunningWritesNothingMore()
{
    RecordingPort recorder;
    port::Module1 module(recorder);
    Observed<port::Sequencer> observed;
    port::Sequencer sequencer(module, observed.callbacks());
    sequencer.run(0);
    QVERIFY(eventually([&] { return sequencer.cyclesWritten() >= 2; }));
    sequencer.abandon();
    QCOMPARE(sequencer.state(), State::Idle);
    const std::size_t written = recorder.size();
    QVERIFY(!endsIdle(recorder.writes()));
    sequencer.stop();
    sequencer.run(0);
    sequencer.abandon();  // twice is fine
    std::this_thread::sleep_for(1ms);
    QCOMPARE(recorder.size(), written);
    QCOMPARE(observed.statesSeen().back(), State::Idle);
}

void TestSequencer::abandonWhenIdleWritesNothingMore()
{
    RecordingPort recorder;
    port::Module1 module(recorder);
    {
        port::Sequencer sequencer(module, {});
        sequencer.abandon();
        sequencer.stop();
        sequencer.run(0);
        QCOMPARE(sequencer.state(), State::Idle);
    }
    QCOMPARE(recorder.size(), std::size_t{0});
}

void TestSequencer::abandonCutsADwellShort()
{
    // On a clock that never moves a dwell never ends by itself: abandon must
    // end it from inside the pass.
    using Frozen = FakeClock<1>;
    Frozen::tick = 0;
    RecordingPort recorder;
    port::Module1 module(recorder);
    port::BasicSequencer<Frozen> sequencer(module, {});
    sequencer.run(5);
    QVERIFY(eventually([&] { return recorder.size() >= 2; }));
    sequencer.abandon();
    QCOMPARE(recorder.size(), std::size_t{2});
    QCOMPARE(sequencer.dwellPasses(), std::uint64_t{0});
}

void TestSequencer::portErrorReportsOnceAndStops()
{
    constexpr std::uint64_t failing = 2 * port::stepsPerCycle + 5;  // inside the second cycle
    RecordingPort recorder;
    recorder.failAt(failing);
    port::Module1 module(recorder);
    Observed<port::Sequencer> observed;
    port::Sequencer sequencer(module, observed.callbacks());
    sequencer.run(0);
    QVERIFY(eventually([&] { return sequencer.state() == State::Idle; }));
    QVERIFY(observed.lastSeen(State::Idle));
    QCOMPARE(recorder.size(), std::size_t{failing});  // nothing after the failed write
    const auto errors = observed.errorsSeen();
    QCOMPARE(errors.size(), std::size_t{1});
    QVERIFY(errors[0].find("told to fail") != std::string::npos);
    QCOMPARE(observed.statesSeen(), (std::vector<State>{State::Running, State::Idle}));
}

void TestSequencer::portErrorOnStopWhenIdleIsReported()
{
    RecordingPort recorder;
    recorder.failAt(0);
    port::Module1 module(recorder);
    Observed<port::Sequencer> observed;
    port::Sequencer sequencer(module, observed.callbacks());
    sequencer.stop();  // must not throw
    const auto errors = observed.errorsSeen();
    QCOMPARE(errors.size(), std::size_t{1});
    QVERIFY(errors[0].starts_with("STOP: "));
    QVERIFY(errors[0].find('\n') == std::string::npos);
}

void TestSequencer::stateChangesAnnouncedOnlyWhenReal()
{
    RecordingPort recorder;
    port::Module1 module(recorder);
    Observed<port::Sequencer> observed;
    port::Sequencer sequencer(module, observed.callbacks());
    QCOMPARE(sequencer.state(), State::Idle);
    sequencer.run(1);
    sequencer.run(1);
    QCOMPARE(sequencer.state(), State::Running);
    QVERIFY(eventually([&] { return sequencer.cyclesWritten() >= 1; }));
    sequencer.stop();
    sequencer.stop();
    QVERIFY(eventually([&] { return sequencer.state() == State::Idle; }));
    QVERIFY(observed.lastSeen(State::Idle));
    sequencer.stop();
    QCOMPARE(observed.statesSeen(), (std::vector<State>{State::Running, State::Stopping, State::Idle}));
    sequencer.run(1);
    QVERIFY(eventually([&] { return sequencer.cyclesWritten() >= 1; }));
    sequencer.stop();
    QVERIFY(eventually([&] { return sequencer.state() == State::Idle; }));
    QVERIFY(observed.lastSeen(State::Idle));
    QCOMPARE(observed.statesSeen().size(), std::size_t{6});
}

void TestSequencer::lateStepMovesTheGrid()
{
    using Clock = FakeClock<2>;
    constexpr std::int64_t count = 9;  // 1 us steps
    constexpr auto stepLength = std::chrono::nanoseconds(1000);
    constexpr std::uint64_t lateWrite = 100;  // a data write, mid-run
    constexpr auto stall = 1ms;
    RecordingPort recorder;
    std::mutex stampsMutex;
    std::vector<std::int64_t> stamps;
    recorder.onWrite([&](std::uint64_t index) {
        std::lock_guard lock(stampsMutex);
        stamps.push_back(Clock::peek());
        if (index == lateWrite)
            Clock::jump(stall);  // as if the thread were preempted here
    });
    port::Module1 module(recorder);
    port::BasicSequencer<Clock> sequencer(module, {});
    sequencer.run(count);
    QVERIFY(eventually([&] { return recorder.size() > lateWrite + 4 * 2 * port::stepsPerCycle; }));
    sequencer.stop();
    QVERIFY(eventually([&] { return sequencer.state() == State::Idle; }));

    QVERIFY(sequencer.largestLateness() > stall - 2 * stepLength);
    std::lock_guard lock(stampsMutex);
    const auto writes = recorder.writes();
    QCOMPARE(checkWrites(writes), QString());
    // Steps after the late one keep their length (half is room for the
    // fake clock's reads); without moving the grid they would be near 0.
    for (std::size_t at = lateWrite + 2; at + 2 < writes.size() - 2; at += 2)
        QVERIFY2(stamps[at + 2] - stamps[at] > stepLength.count() / 2,
                 qPrintable(QStringLiteral("step at write %1 too short").arg(at)));
}

void TestSequencer::writeTimeDoesNotLengthenThePeriod()
{
    using Clock = FakeClock<3>;
    constexpr std::int64_t count = 9;             // 1 us steps, 14 us cycles
    constexpr std::int64_t writeCost = 300;       // ns of fake time per write
    constexpr std::int64_t cycleLength = 14'000;  // ns
    RecordingPort recorder;
    std::mutex stampsMutex;
    std::vector<std::int64_t> cycleStarts;
    recorder.onWrite([&](std::uint64_t index) {
        Clock::jump(std::chrono::nanoseconds(writeCost));
        if (index % (2 * port::stepsPerCycle) == 0) {
            std::lock_guard lock(stampsMutex);
            cycleStarts.push_back(Clock::peek());
        }
    });
    port::Module1 module(recorder);
    port::BasicSequencer<Clock> sequencer(module, {});
    sequencer.run(count);
    QVERIFY(eventually([&] { return sequencer.cyclesWritten() >= 50; }));
    sequencer.stop();
    QVERIFY(eventually([&] { return sequencer.state() == State::Idle; }));
    std::lock_guard lock(stampsMutex);
    QVERIFY(cycleStarts.size() >= 50);
    const std::int64_t span = cycleStarts[49] - cycleStarts[1];
    // On the grid 48 cycles take 48 x 14 us, give or take a few clock reads;
    // a dwell counted from after the writes would add 48 x 28 x 300 ns.
    QVERIFY2(std::abs(span - 48 * cycleLength) < cycleLength / 10,
             qPrintable(QStringLiteral("48 cycles took %1 ns").arg(span)));
}

QTEST_GUILESS_MAIN(TestSequencer)
#include "tst_sequencer.moc"
