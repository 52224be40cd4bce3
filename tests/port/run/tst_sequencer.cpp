// The step sequencer: pattern order, dwell pass counts, STOP and RUN from
// every state, the way out, port errors, state announcements, the one-writer
// rule (through a recording port), the dwell grid, and sleeping before the
// deadlines with a learned margin (through a fake clock).
#include "expectedpattern.h"
#include "port/backend/module1.h"
#include "port/pattern/delaycount.h"
#include "port/pattern/steppattern.h"
#include "port/run/sequencer.h"
#include "recordingport.h"

#include <QTest>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Time that moves only when read: each now() advances it by tick, so a
// dwell ends after a known number of reads, whatever the machine's speed. A
// sleep moves time to its deadline plus lateness, as a late wake-up would,
// and is logged; a sleep with no deadline, or one beyond blockBeyond, blocks
// for real until the sequencer wakes it.
class FakeStepClock : public port::run::StepClock {
public:
    struct Sleep {
        std::int64_t from;
        std::int64_t until;
    };

    std::atomic<std::int64_t> tick{10};
    std::atomic<std::int64_t> lateness{0};
    std::atomic<std::int64_t> blockBeyond{std::numeric_limits<std::int64_t>::max()};

    std::chrono::nanoseconds now() noexcept override
    {
        return std::chrono::nanoseconds(time_.fetch_add(tick.load()));
    }
    void sleepUntil(std::chrono::nanoseconds deadline, const Word& word, std::uint32_t expected) noexcept override
    {
        if (word.load() != expected)
            return;
        const std::int64_t from = time_.load();
        if (deadline == noDeadline) {
            word.wait(expected);
            return;
        }
        if (deadline.count() - from > blockBeyond.load()) {
            blocked_.fetch_add(1);
            word.wait(expected);
            woken_.fetch_add(1);
            return;
        }
        {
            std::lock_guard lock(mutex_);
            if (logging_)
                log_.push_back({from, deadline.count()});
        }
        std::int64_t at = time_.load();
        const std::int64_t until = deadline.count() + lateness.load();
        while (at < until && !time_.compare_exchange_weak(at, until)) {
        }
    }
    void wake(Word& word) noexcept override { word.notify_all(); }

    std::int64_t peek() const { return time_.load(); }
    void jump(std::chrono::nanoseconds by) { time_.fetch_add(by.count()); }
    // Sleeps are logged from here on (the thread's set-up sleeps are not).
    void startLog()
    {
        std::lock_guard lock(mutex_);
        logging_ = true;
        log_.clear();
    }
    std::vector<Sleep> sleeps() const
    {
        std::lock_guard lock(mutex_);
        return log_;
    }
    // Sleeps beyond blockBeyond that blocked, and how many a request woke.
    int blocked() const { return blocked_.load(); }
    int woken() const { return woken_.load(); }

private:
    std::atomic<std::int64_t> time_{0};
    std::atomic<int> blocked_{0};
    std::atomic<int> woken_{0};
    mutable std::mutex mutex_;
    bool logging_ = false;
    std::vector<Sleep> log_;
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
// from one thread; with cuts allowed, a cycle may also end early, after a
// whole step, in an idle pair (a run ended at once). Returns what is wrong,
// or an empty string; counts whole cycles.
QString checkWrites(const std::vector<RecordingPort::Write>& writes, std::size_t* cycles = nullptr,
                    bool cutsAllowed = false)
{
    std::size_t at = 0;
    std::size_t whole = 0;
    std::thread::id runThread;
    while (at < writes.size()) {
        const auto& first = writes[at];
        if (first.address == port::backend::dataPort && first.value == port::pattern::idleData) {
            if (at + 1 >= writes.size() || writes[at + 1].address != port::backend::controlPort ||
                writes[at + 1].value != port::pattern::idleControl)
                return QStringLiteral("broken idle pair at write %1").arg(at);
            if (writes[at + 1].thread != first.thread)
                return QStringLiteral("idle pair from two threads at write %1").arg(at);
            runThread = {};
            at += 2;
            continue;
        }
        if (runThread == std::thread::id{})
            runThread = first.thread;
        bool cut = false;
        for (std::size_t step = 0; step < port::pattern::stepsPerCycle; ++step) {
            const std::size_t data = at + 2 * step;
            if (data + 1 >= writes.size())
                return QStringLiteral("cycle cut short at write %1").arg(data);
            const auto& d = writes[data];
            const auto& c = writes[data + 1];
            if (cutsAllowed && step > 0 && d.address == port::backend::dataPort && d.value == port::pattern::idleData &&
                c.address == port::backend::controlPort && c.value == port::pattern::idleControl) {
                at = data;  // the idle pair is checked as such
                cut = true;
                break;
            }
            if (d.address != port::backend::dataPort || d.value != expectedSteps[step].data ||
                c.address != port::backend::controlPort || c.value != expectedSteps[step].control)
                return QStringLiteral("step %1 wrong at write %2").arg(step + 1).arg(data);
            if (d.thread != runThread || c.thread != runThread)
                return QStringLiteral("second writer during a run at write %1").arg(data);
        }
        if (cut)
            continue;
        at += port::pattern::writesPerCycle;
        ++whole;
    }
    if (cycles)
        *cycles = whole;
    return {};
}

bool endsIdle(const std::vector<RecordingPort::Write>& writes)
{
    const auto n = writes.size();
    return n >= 2 && writes[n - 2].address == port::backend::dataPort && writes[n - 2].value == port::pattern::idleData &&
           writes[n - 1].address == port::backend::controlPort && writes[n - 1].value == port::pattern::idleControl;
}

// Announcements and error lines, gathered from whichever thread sends them.
struct Observed {
    using Seq = port::run::Sequencer;
    std::mutex mutex;
    std::vector<Seq::State> states;
    std::vector<std::string> errors;

    Seq::Callbacks callbacks()
    {
        return {[this](Seq::State state) {
                    std::lock_guard lock(mutex);
                    states.push_back(state);
                },
                [this](const std::string& line) {
                    std::lock_guard lock(mutex);
                    errors.push_back(line);
                },
                {}};
    }
    std::vector<Seq::State> statesSeen()
    {
        std::lock_guard lock(mutex);
        return states;
    }
    // state() turns Idle just before the loop's announcement is delivered.
    bool lastSeen(Seq::State state)
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

using State = port::run::Sequencer::State;

// The step thread believes it is real-time, as it does where the kernel
// grants it: it then takes its breaks.
port::run::StepThreadSetup pretendRealtime()
{
    return [](int) {
        port::run::PriorityGrant grant;
        grant.priorityClass = port::run::PriorityClass::Realtime;
        grant.grantor = port::run::PriorityGrantor::Kernel;
        grant.priority = port::run::stepThreadPriority;
        return grant;
    };
}

// Runs count until at least cycles whole cycles are out, then stops and
// waits for Idle.
bool runFor(port::run::Sequencer& sequencer, std::int64_t count, std::uint64_t cycles)
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
    void runWhileStoppingStartsAfterTheIdlePair();
    void randomRunStopRacesEndIdle();
    void shutDownWhileRunningEndsIdle_data();
    void shutDownWhileRunningEndsIdle();
    void shutDownWhenIdleWritesNothing();
    void shutDownCutsADwellShort();
    void stopAtOnceNeverSplitsAPair();
    void stopIsPromptAtAnyFrequency_data();
    void stopIsPromptAtAnyFrequency();
    void portErrorReportsOnceAndStops();
    void portErrorOnStopWhenIdleIsReported();
    void stateChangesAnnouncedOnlyWhenReal();
    void lateStepMovesTheGrid();
    void writeTimeDoesNotLengthenThePeriod();
    void sleepsOnlyWhenTheDwellIsLong_data();
    void sleepsOnlyWhenTheDwellIsLong();
    void neverSleepsPastTheDeadlineLessTheMargin_data();
    void neverSleepsPastTheDeadlineLessTheMargin();
    void marginFollowsTheWakeUps_data();
    void marginFollowsTheWakeUps();
    void requestsWakeASleepingLoop_data();
    void requestsWakeASleepingLoop();
    void realtimeLoopBlocksAtEveryRate_data();
    void realtimeLoopBlocksAtEveryRate();
    void endNowEndsTheRunWithItsCause_data();
    void endNowEndsTheRunWithItsCause();
    void portThatStopsAnsweringEndsTheRun();
    void secondStopEndsTheRunAtOnce();
    void ordersFromAfarGoOnlyWhereMeant();
    void keepAliveTogglesBetweenPairs_data();
    void keepAliveTogglesBetweenPairs();
    void keepAliveFailureIsSaidOnceAndIdleComesFirst();
    void keepAliveStopsForGoodAsTheProgramEnds();
    void runIdentity_data();
    void runIdentity();
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
    port::backend::Module1 module(recorder);
    port::run::Sequencer sequencer(module, {});
    QVERIFY(runFor(sequencer, count, 2));

    const auto writes = recorder.writes();
    QVERIFY(writes.size() >= 2 * port::pattern::writesPerCycle + 2);
    for (std::size_t step = 0; step < 2 * expectedSteps.size(); ++step) {  // the pattern, then again
        QCOMPARE(writes[2 * step].address, std::uint16_t{0x378});
        QCOMPARE(writes[2 * step].value, expectedStep(step).data);
        QCOMPARE(writes[2 * step + 1].address, std::uint16_t{0x37A});
        QCOMPARE(writes[2 * step + 1].value, expectedStep(step).control);
    }
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
    port::backend::Module1 module(recorder);
    port::run::Sequencer sequencer(module, {});
    QVERIFY(runFor(sequencer, count, 2));
    const std::uint64_t cycles = sequencer.cyclesWritten();
    QVERIFY(cycles >= 2);
    QCOMPARE(sequencer.dwellPasses(), cycles * port::pattern::stepsPerCycle * static_cast<std::uint64_t>(passesPerStep));
}

void TestSequencer::unsetStepTimeRunsWithCountZero()
{
    RecordingPort recorder;
    port::backend::Module1 module(recorder);
    port::run::Sequencer sequencer(module, {});
    QVERIFY(runFor(sequencer, port::pattern::delayCountFor(0.0), 1));
    QCOMPARE(sequencer.delayCount(), std::int64_t{0});
    QCOMPARE(sequencer.dwellPasses(), sequencer.cyclesWritten() * port::pattern::stepsPerCycle);
}

void TestSequencer::stopWhenIdleWritesIdleAtOnce()
{
    RecordingPort recorder;
    port::backend::Module1 module(recorder);
    Observed observed;
    port::run::Sequencer sequencer(module, observed.callbacks());
    sequencer.stop();
    const auto writes = recorder.writes();
    QCOMPARE(writes.size(), std::size_t{2});
    QCOMPARE(writes[0].address, port::backend::dataPort);
    QCOMPARE(writes[0].value, std::uint8_t{0});
    QCOMPARE(writes[1].address, port::backend::controlPort);
    QCOMPARE(writes[1].value, std::uint8_t{2});
    QVERIFY(writes[0].thread == std::this_thread::get_id());
    QVERIFY(observed.statesSeen().empty());  // Idle stays Idle
}

void TestSequencer::stopRightAfterRunEndsIdle()
{
    RecordingPort recorder;
    port::backend::Module1 module(recorder);
    port::run::Sequencer sequencer(module, {});
    sequencer.run(0);
    sequencer.stop();
    QVERIFY(eventually([&] { return sequencer.state() == State::Idle; }));
    const auto writes = recorder.writes();
    std::size_t cycles = 0;
    QCOMPARE(checkWrites(writes, &cycles), QString());
    QVERIFY(endsIdle(writes));
    QCOMPARE(writes.size(), cycles * port::pattern::writesPerCycle + 2);
}

void TestSequencer::stopWhileRunningCompletesTheCycle()
{
    RecordingPort recorder;
    port::backend::Module1 module(recorder);
    port::run::Sequencer sequencer(module, {});
    QVERIFY(runFor(sequencer, 2, 3));
    const auto writes = recorder.writes();
    std::size_t cycles = 0;
    QCOMPARE(checkWrites(writes, &cycles), QString());
    QVERIFY(endsIdle(writes));
    QCOMPARE(writes.size(), cycles * port::pattern::writesPerCycle + 2);  // one idle pair, at the end
    QCOMPARE(std::uint64_t{cycles}, sequencer.cyclesWritten());
    QVERIFY(!recorder.overlapped());
}

void TestSequencer::runWhileRunningTakesCountAtNextCycle()
{
    constexpr std::int64_t before = 5;
    constexpr std::int64_t after = 10;
    RecordingPort recorder;
    port::backend::Module1 module(recorder);
    port::run::Sequencer sequencer(module, {});
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

void TestSequencer::randomRunStopRacesEndIdle()
{
    RecordingPort recorder;
    port::backend::Module1 module(recorder);
    port::run::Sequencer sequencer(module, {});
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
        // A second STOP while the cycle completes ends it at once, after a whole step.
        const QString wrong = checkWrites(writes, nullptr, true);
        QVERIFY2(wrong.isEmpty(), qPrintable(QStringLiteral("round %1: ").arg(round) + wrong));
        recorder.clear();
    }
    QVERIFY(!recorder.overlapped());
}

// EXIT while a run is alive, at several output frequencies: the step under
// way ends whole, the idle pair is last, and nothing comes after it.
void TestSequencer::shutDownWhileRunningEndsIdle_data()
{
    QTest::addColumn<qint64>("count");
    QTest::newRow("no dwell") << qint64{-1};
    QTest::newRow("1 kHz") << qint64{714};
    QTest::newRow("30 Hz") << qint64{23809};
    QTest::newRow("1 Hz") << qint64{714285};
}

void TestSequencer::shutDownWhileRunningEndsIdle()
{
    QFETCH(qint64, count);
    RecordingPort recorder;
    port::backend::Module1 module(recorder);
    Observed observed;
    port::run::Sequencer sequencer(module, observed.callbacks());
    sequencer.run(count);
    QVERIFY(eventually([&] { return recorder.size() >= 6; }));
    sequencer.shutDown();
    QCOMPARE(sequencer.state(), State::Idle);
    const auto writes = recorder.writes();
    QVERIFY(endsIdle(writes));
    QCOMPARE(checkWrites(writes, nullptr, true), QString());
    sequencer.stop();
    sequencer.run(0);
    sequencer.shutDown();  // twice is fine; the step thread is joined
    QCOMPARE(recorder.size(), writes.size());
    QVERIFY(observed.lastSeen(State::Idle));
    QVERIFY(!recorder.overlapped());
}

void TestSequencer::shutDownWhenIdleWritesNothing()
{
    RecordingPort recorder;
    port::backend::Module1 module(recorder);
    {
        port::run::Sequencer sequencer(module, {});
        sequencer.shutDown();
        sequencer.stop();
        sequencer.run(0);
        QCOMPARE(sequencer.state(), State::Idle);
    }
    {
        port::run::Sequencer sequencer(module, {});
        QVERIFY(runFor(sequencer, 0, 1));
        recorder.clear();
    }  // the destructor shuts down: the run is over, nothing more
    QCOMPARE(recorder.size(), std::size_t{0});
}

void TestSequencer::shutDownCutsADwellShort()
{
    // On a clock that never moves a dwell never ends by itself: the way out
    // must end it from inside the pass.
    FakeStepClock frozen;
    frozen.tick = 0;
    RecordingPort recorder;
    port::backend::Module1 module(recorder);
    port::run::Sequencer sequencer(module, {}, {}, frozen);
    sequencer.run(5);
    QVERIFY(eventually([&] { return recorder.size() >= 2; }));
    sequencer.shutDown();
    QCOMPARE(recorder.size(), std::size_t{4});  // the first step, then the idle pair
    QVERIFY(endsIdle(recorder.writes()));
    QCOMPARE(sequencer.dwellPasses(), std::uint64_t{0});
}

// STOP while the data of a step has gone out and its control has not: the
// run ends at once, yet the pair is finished before the idle pair.
void TestSequencer::stopAtOnceNeverSplitsAPair()
{
    constexpr std::uint64_t betweenTheWrites = port::pattern::writesPerCycle + 6;  // data of step 4, cycle 2
    RecordingPort recorder;
    port::backend::Module1 module(recorder);
    std::unique_ptr<port::run::Sequencer> sequencer;
    std::atomic<int> outcome{-1};
    recorder.onWrite([&](std::uint64_t index) {
        if (index == betweenTheWrites)
            outcome = int(sequencer->stop().kind);
    });
    FakeStepClock clock;
    sequencer = std::make_unique<port::run::Sequencer>(module, port::run::SequencerCallbacks{}, port::run::StepThreadSetup{}, clock);
    sequencer->run(100'000'000);  // a cycle of 140 s
    QVERIFY(eventually([&] { return sequencer->state() == State::Idle && outcome >= 0; }));
    QCOMPARE(outcome.load(), int(port::run::StopOutcome::Kind::AtOnce));
    const auto writes = recorder.writes();
    QCOMPARE(writes.size(), std::size_t{betweenTheWrites + 2 + 2});
    QCOMPARE(writes[betweenTheWrites + 1].address, port::backend::controlPort);
    QCOMPARE(writes[betweenTheWrites + 1].value, expectedSteps[3].control);
    QVERIFY(endsIdle(writes));
    QCOMPARE(checkWrites(writes, nullptr, true), QString());
    sequencer.reset();
    QCOMPARE(recorder.size(), writes.size());
}

// STOP waits for the cycle under way only when it ends soon; a slow output
// stops at once, woken from its sleep, and says what the cycle would have
// taken. Time is the fake clock's, so the bounds hold on any machine.
void TestSequencer::stopIsPromptAtAnyFrequency_data()
{
    QTest::addColumn<qint64>("count");
    QTest::addColumn<int>("kind");
    QTest::newRow("30 Hz: the cycle completes") << qint64{23809} << int(port::run::StopOutcome::Kind::AfterCycle);
    // 10 Hz's own count, 71428, makes a cycle of 100.0006 ms, which a STOP in
    // its first 0.6 us ends at once; a cycle just inside the limit always completes.
    QTest::newRow("a cycle of 99.9992 ms: it completes") << qint64{71427} << int(port::run::StopOutcome::Kind::AfterCycle);
    QTest::newRow("1 Hz: at once") << qint64{714285} << int(port::run::StopOutcome::Kind::AtOnce);
    QTest::newRow("a step of 115 days: at once") << qint64{99'999'999'999'999} << int(port::run::StopOutcome::Kind::AtOnce);
    QTest::newRow("beyond the largest count: at once")
        << qint64{std::numeric_limits<qint64>::max()} << int(port::run::StopOutcome::Kind::AtOnce);
}

void TestSequencer::stopIsPromptAtAnyFrequency()
{
    QFETCH(qint64, count);
    QFETCH(int, kind);
    FakeStepClock clock;
    // A sleep longer than this blocks for real until STOP wakes it, as it would.
    clock.blockBeyond = std::chrono::nanoseconds(50ms).count();
    RecordingPort recorder;
    std::mutex stampsMutex;
    std::vector<std::int64_t> stamps;
    recorder.onWrite([&](std::uint64_t) {
        std::lock_guard lock(stampsMutex);
        stamps.push_back(clock.peek());
    });
    port::backend::Module1 module(recorder);
    port::run::Sequencer sequencer(module, {}, {}, clock);
    sequencer.run(count);
    QVERIFY(eventually([&] { return recorder.size() >= 2; }));
    const std::int64_t stoppedAt = clock.peek();
    const port::run::StopOutcome outcome = sequencer.stop();
    QCOMPARE(int(outcome.kind), kind);
    QVERIFY(eventually([&] { return sequencer.state() == State::Idle; }));
    const auto writes = recorder.writes();
    QVERIFY(endsIdle(writes));
    if (kind == int(port::run::StopOutcome::Kind::AfterCycle)) {
        std::size_t cycles = 0;
        QCOMPARE(checkWrites(writes, &cycles), QString());
        QCOMPARE(writes.size(), cycles * port::pattern::writesPerCycle + 2);
        return;
    }
    QCOMPARE(checkWrites(writes, nullptr, true), QString());
    QVERIFY(outcome.cycleLeft > port::run::Sequencer::promptStop);
    std::lock_guard lock(stampsMutex);
    const std::int64_t idleAt = stamps[stamps.size() - 2];
    QVERIFY2(idleAt - stoppedAt < std::chrono::nanoseconds(port::run::Sequencer::promptStop).count(),
             qPrintable(QStringLiteral("idle %1 ns after STOP").arg(idleAt - stoppedAt)));
}

// RUN while a STOP is under way: the idle pair first, then the new run.
void TestSequencer::runWhileStoppingStartsAfterTheIdlePair()
{
    FakeStepClock clock;
    clock.tick = 0;  // held still: the loop stays inside the first step
    RecordingPort recorder;
    port::backend::Module1 module(recorder);
    Observed observed;
    port::run::Sequencer sequencer(module, observed.callbacks(), {}, clock);
    sequencer.run(5);
    QVERIFY(eventually([&] { return recorder.size() >= 2; }));
    QCOMPARE(int(sequencer.stop().kind), int(port::run::StopOutcome::Kind::AfterCycle));
    sequencer.run(1);
    QCOMPARE(sequencer.state(), State::Stopping);
    clock.tick = 10;
    QVERIFY(eventually([&] { return sequencer.state() == State::Running && sequencer.cyclesWritten() >= 2; }));
    QCOMPARE(sequencer.delayCount(), std::int64_t{1});
    QCOMPARE(sequencer.stop().kind, port::run::StopOutcome::Kind::AfterCycle);
    QVERIFY(eventually([&] { return sequencer.state() == State::Idle; }));
    QVERIFY(observed.lastSeen(State::Idle));
    const auto writes = recorder.writes();
    std::size_t cycles = 0;
    QCOMPARE(checkWrites(writes, &cycles), QString());
    QCOMPARE(writes.size(), cycles * port::pattern::writesPerCycle + 4);  // an idle pair after each run
    QCOMPARE(observed.statesSeen(), (std::vector<State>{State::Running, State::Stopping, State::Idle,
                                                        State::Running, State::Stopping, State::Idle}));
}

void TestSequencer::portErrorReportsOnceAndStops()
{
    constexpr std::uint64_t failing = port::pattern::writesPerCycle + 5;  // inside the second cycle
    RecordingPort recorder;
    recorder.failAt(failing);
    port::backend::Module1 module(recorder);
    Observed observed;
    port::run::Sequencer sequencer(module, observed.callbacks());
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
    port::backend::Module1 module(recorder);
    Observed observed;
    port::run::Sequencer sequencer(module, observed.callbacks());
    QCOMPARE(sequencer.stop().kind, port::run::StopOutcome::Kind::NothingWritten);  // must not throw
    const auto errors = observed.errorsSeen();
    QCOMPARE(errors.size(), std::size_t{1});
    QVERIFY(errors[0].starts_with("STOP: "));
    QVERIFY(errors[0].find('\n') == std::string::npos);
}

void TestSequencer::stateChangesAnnouncedOnlyWhenReal()
{
    RecordingPort recorder;
    port::backend::Module1 module(recorder);
    Observed observed;
    port::run::Sequencer sequencer(module, observed.callbacks());
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
    FakeStepClock clock;
    constexpr std::int64_t count = 9;  // 1 us steps
    constexpr auto stepLength = std::chrono::nanoseconds(1000);
    constexpr std::uint64_t lateWrite = 100;  // a data write, mid-run
    constexpr auto stall = 1ms;
    RecordingPort recorder;
    std::mutex stampsMutex;
    std::vector<std::int64_t> stamps;
    recorder.onWrite([&](std::uint64_t index) {
        std::lock_guard lock(stampsMutex);
        stamps.push_back(clock.peek());
        if (index == lateWrite)
            clock.jump(stall);  // as if the thread were preempted here
    });
    port::backend::Module1 module(recorder);
    port::run::Sequencer sequencer(module, {}, {}, clock);
    sequencer.run(count);
    QVERIFY(eventually([&] { return recorder.size() > lateWrite + 4 * port::pattern::writesPerCycle; }));
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
    FakeStepClock clock;
    constexpr std::int64_t count = 9;             // 1 us steps, 14 us cycles
    constexpr std::int64_t writeCost = 300;       // ns of fake time per write
    constexpr std::int64_t cycleLength = 14'000;  // ns
    RecordingPort recorder;
    std::mutex stampsMutex;
    std::vector<std::int64_t> cycleStarts;
    recorder.onWrite([&](std::uint64_t index) {
        clock.jump(std::chrono::nanoseconds(writeCost));
        if (index % (port::pattern::writesPerCycle) == 0) {
            std::lock_guard lock(stampsMutex);
            cycleStarts.push_back(clock.peek());
        }
    });
    port::backend::Module1 module(recorder);
    port::run::Sequencer sequencer(module, {}, {}, clock);
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

// A 2.38 ms step (30 Hz) leaves time to sleep; a 1 us step does not. The
// margin is 20 us on punctual wake-ups, and a sleep shorter than 5 us does
// not pay.
void TestSequencer::sleepsOnlyWhenTheDwellIsLong_data()
{
    QTest::addColumn<qint64>("count");
    QTest::addColumn<bool>("sleeps");
    QTest::newRow("30 Hz: sleeps") << qint64{23809} << true;
    QTest::newRow("30 us, margin and a bit: sleeps") << qint64{300} << true;
    QTest::newRow("1 us: spins") << qint64{9} << false;
    QTest::newRow("20 us, within the margin: spins") << qint64{199} << false;
}

void TestSequencer::sleepsOnlyWhenTheDwellIsLong()
{
    QFETCH(qint64, count);
    QFETCH(bool, sleeps);
    FakeStepClock clock;
    RecordingPort recorder;
    port::backend::Module1 module(recorder);
    port::run::Sequencer sequencer(module, {}, {}, clock);
    QVERIFY(runFor(sequencer, count, 3));
    const std::uint64_t steps = sequencer.cyclesWritten() * port::pattern::stepsPerCycle;
    // Passes are counted exactly, slept through or spun.
    QCOMPARE(sequencer.dwellPasses(), steps * static_cast<std::uint64_t>(count + 1));
    if (sleeps)
        QVERIFY2(sequencer.sleeps() >= steps, qPrintable(QStringLiteral("%1 sleeps in %2 steps")
                                                             .arg(sequencer.sleeps()).arg(steps)));
    else
        QCOMPARE(sequencer.sleeps(), std::uint64_t{0});
    QCOMPARE(checkWrites(recorder.writes()), QString());
}

// Every sleep ends at least the margin before the step's end, which is when
// the next data write goes out; with late wake-ups the learned margin keeps
// the steps on time.
void TestSequencer::neverSleepsPastTheDeadlineLessTheMargin_data()
{
    QTest::addColumn<qint64>("lateness");
    QTest::newRow("punctual wake-ups") << qint64{0};
    QTest::newRow("wake-ups 150 us late") << qint64{150'000};
}

void TestSequencer::neverSleepsPastTheDeadlineLessTheMargin()
{
    QFETCH(qint64, lateness);
    constexpr std::int64_t count = 23809;
    FakeStepClock clock;
    clock.lateness = lateness;
    RecordingPort recorder;
    std::mutex stampsMutex;
    std::vector<std::int64_t> dataWrites;
    recorder.onWrite([&](std::uint64_t index) {
        if (index % 2 == 0) {
            std::lock_guard lock(stampsMutex);
            dataWrites.push_back(clock.peek());
        }
    });
    port::backend::Module1 module(recorder);
    port::run::Sequencer sequencer(module, {}, {}, clock);
    sequencer.run(count);
    QVERIFY(eventually([&] { return sequencer.timing().known; }));
    clock.startLog();
    const std::uint64_t logged = sequencer.cyclesWritten();
    QVERIFY(eventually([&] { return sequencer.cyclesWritten() >= logged + 4; }));
    sequencer.stop();
    QVERIFY(eventually([&] { return sequencer.state() == State::Idle; }));

    const auto sleeps = clock.sleeps();
    QVERIFY(!sleeps.empty());
    std::lock_guard lock(stampsMutex);
    std::size_t checked = 0;
    for (const FakeStepClock::Sleep& sleep : sleeps) {
        const auto next = std::upper_bound(dataWrites.begin(), dataWrites.end(), sleep.from);
        if (next == dataWrites.end())
            continue;  // the sleep before the idle pair
        QVERIFY2(sleep.until + 20'000 <= *next,
                 qPrintable(QStringLiteral("sleep until %1 for a step ending at %2").arg(sleep.until).arg(*next)));
        QVERIFY(sleep.until + lateness <= *next);
        ++checked;
    }
    QVERIFY(checked >= 3 * port::pattern::stepsPerCycle);
    // The margin was learned before the first step: no step started late.
    QVERIFY2(sequencer.largestLateness() < 1us,
             qPrintable(QStringLiteral("%1 ns late").arg(sequencer.largestLateness().count())));
}

// Learned from the wake-ups before the first step: the rare late one is the
// machine's stall and is not covered; the margin never leaves its bounds.
void TestSequencer::marginFollowsTheWakeUps_data()
{
    QTest::addColumn<qint64>("lateness");
    QTest::addColumn<qint64>("margin");
    // 20 us at least, 1 ms at most, and 10 us of guard above the wake-ups
    QTest::newRow("punctual: the lower bound") << qint64{0} << qint64{20'000};
    QTest::newRow("80 us late: covered with the guard") << qint64{80'000} << qint64{90'000};
    QTest::newRow("5 ms late: the upper bound") << qint64{5'000'000} << qint64{1'000'000};
}

void TestSequencer::marginFollowsTheWakeUps()
{
    QFETCH(qint64, lateness);
    QFETCH(qint64, margin);
    FakeStepClock clock;
    clock.lateness = lateness;
    RecordingPort recorder;
    port::backend::Module1 module(recorder);
    port::run::Sequencer sequencer(module, {}, {}, clock);
    QVERIFY(runFor(sequencer, 23809, 2));
    QCOMPARE(sequencer.wakeMargin().count(), margin);
}

// A step of 100 s: the loop sleeps, blocked for real, until a request wakes
// it; EXIT and STOP both end the run at once with the idle pair.
void TestSequencer::requestsWakeASleepingLoop_data()
{
    QTest::addColumn<bool>("exit");
    QTest::newRow("EXIT") << true;
    QTest::newRow("STOP") << false;
}

void TestSequencer::requestsWakeASleepingLoop()
{
    QFETCH(bool, exit);
    FakeStepClock clock;
    clock.blockBeyond = std::chrono::nanoseconds(1s).count();
    RecordingPort recorder;
    port::backend::Module1 module(recorder);
    port::run::Sequencer sequencer(module, {}, {}, clock);
    sequencer.run(1'000'000'000);
    QVERIFY(eventually([&] { return clock.blocked() == 1; }));
    QCOMPARE(recorder.size(), std::size_t{2});
    if (exit) {
        auto exited = std::async(std::launch::async, [&] { sequencer.shutDown(); });
        QVERIFY(eventually([&] { return exited.wait_for(0s) == std::future_status::ready; }));
    } else {
        QCOMPARE(sequencer.stop().kind, port::run::StopOutcome::Kind::AtOnce);
        QVERIFY(eventually([&] { return sequencer.state() == State::Idle; }));
    }
    QCOMPARE(clock.woken(), 1);
    QCOMPARE(recorder.size(), std::size_t{4});
    QVERIFY(endsIdle(recorder.writes()));
}

// A real-time thread that never blocks starves its CPU and is throttled or
// killed by the kernel: at every rate, full speed and no dwell included, the
// loop blocks at least once in every longestSpin it runs, and the breaks
// lose no dwell pass.
void TestSequencer::realtimeLoopBlocksAtEveryRate_data()
{
    QTest::addColumn<qint64>("count");
    QTest::newRow("negative: no dwell") << qint64{-1};
    QTest::newRow("0: full speed") << qint64{0};
    QTest::newRow("1") << qint64{1};
    QTest::newRow("200: 20 us, shorter than a break") << qint64{200};
    QTest::newRow("714: 1 kHz") << qint64{714};
    QTest::newRow("23809: 30 Hz") << qint64{23809};
}

void TestSequencer::realtimeLoopBlocksAtEveryRate()
{
    QFETCH(qint64, count);
    // Room for the reads between noticing that a break is due and taking it.
    constexpr std::int64_t slack = 2'000;
    constexpr auto watched = 20 * port::run::Sequencer::longestSpin;
    FakeStepClock clock;
    RecordingPort recorder;
    port::backend::Module1 module(recorder);
    port::run::Sequencer sequencer(module, {}, pretendRealtime(), clock);
    QVERIFY(eventually([&] { return sequencer.timing().known; }));
    clock.startLog();
    const std::int64_t from = clock.peek();
    sequencer.run(count);
    QVERIFY(eventually([&] { return clock.peek() - from > watched.count() && sequencer.cyclesWritten() >= 2; }));
    sequencer.stop();
    QVERIFY(eventually([&] { return sequencer.state() == State::Idle; }));

    const auto sleeps = clock.sleeps();
    QVERIFY(sleeps.size() >= 10);
    std::int64_t awake = from;  // when the thread last came out of a block
    std::int64_t longest = 0;
    for (const FakeStepClock::Sleep& sleep : sleeps) {
        longest = std::max(longest, sleep.from - awake);
        awake = std::max(sleep.from, sleep.until);
    }
    QVERIFY2(longest <= port::run::Sequencer::longestSpin.count() + slack,
             qPrintable(QStringLiteral("ran %1 ns without blocking").arg(longest)));
    if (count >= 0) {
        const std::uint64_t steps = recorder.size() / port::pattern::writesPerStep - 1;  // less the idle pair
        QCOMPARE(sequencer.dwellPasses(), steps * static_cast<std::uint64_t>(count + 1));
    }
    QCOMPARE(checkWrites(recorder.writes(), nullptr, true), QString());
}

// A watchdog, a signal handler or the kernel's CPU limit ends a run at once
// from any thread: the pair under way whole, the idle pair last, the cause
// kept until the next run.
void TestSequencer::endNowEndsTheRunWithItsCause_data()
{
    QTest::addColumn<port::run::RunEndCause>("cause");
    QTest::addColumn<bool>("bySignal");
    QTest::newRow("the window silent") << port::run::RunEndCause::WindowSilent << false;
    QTest::newRow("a termination signal") << port::run::RunEndCause::Signal << false;
    QTest::newRow("SIGXCPU raised") << port::run::RunEndCause::CpuLimit << true;
}

void TestSequencer::endNowEndsTheRunWithItsCause()
{
    QFETCH(port::run::RunEndCause, cause);
    QFETCH(bool, bySignal);
    FakeStepClock clock;
    clock.blockBeyond = std::chrono::nanoseconds(1ms).count();  // asleep in the first step until woken
    RecordingPort recorder;
    port::backend::Module1 module(recorder);
    port::run::Sequencer sequencer(module, {}, {}, clock);
    sequencer.endNow(cause);  // nothing alive: nothing to end, and the next run is not cut
    sequencer.run(23809);
    QVERIFY(eventually([&] { return clock.blocked() == 1; }));
    if (bySignal)
        raise(SIGXCPU);
    else
        std::thread([&] { sequencer.endNow(cause); }).join();
    QVERIFY(eventually([&] { return sequencer.state() == State::Idle; }));
    QCOMPARE(sequencer.endCause(), cause);
    QCOMPARE(sequencer.trips(), std::uint64_t{1});
    QCOMPARE(recorder.size(), std::size_t{4});  // the first step, then the idle pair
    QVERIFY(endsIdle(recorder.writes()));
    QCOMPARE(checkWrites(recorder.writes(), nullptr, true), QString());

    sequencer.run(0);
    QVERIFY(eventually([&] { return sequencer.cyclesWritten() >= 1; }));
    QCOMPARE(sequencer.endCause(), port::run::RunEndCause::None);
    sequencer.shutDown();
}

// The port takes writes without a word when it has gone; its check, once a
// cycle, fails instead: the run ends, says why once, and still tries the
// idle pair.
void TestSequencer::portThatStopsAnsweringEndsTheRun()
{
    RecordingPort recorder;
    recorder.failCheckAt(2);
    port::backend::Module1 module(recorder);
    Observed observed;
    port::run::Sequencer sequencer(module, observed.callbacks());
    sequencer.run(1);
    QVERIFY(eventually([&] { return sequencer.state() == State::Idle; }));
    QVERIFY(observed.lastSeen(State::Idle));
    QCOMPARE(sequencer.endCause(), port::run::RunEndCause::PortFailed);
    const auto writes = recorder.writes();
    QCOMPARE(writes.size(), 2 * port::pattern::writesPerCycle + 2);
    QVERIFY(endsIdle(writes));
    QCOMPARE(checkWrites(writes), QString());
    QVERIFY(eventually([&] { return observed.errorsSeen().size() == 1; }));
    QVERIFY(observed.errorsSeen()[0].find("stopped answering") != std::string::npos);
}

// STOP lets a short cycle complete; pressed again meanwhile it ends the run
// at once, the pair under way whole; a third press has nothing left to do.
void TestSequencer::secondStopEndsTheRunAtOnce()
{
    FakeStepClock clock;
    clock.blockBeyond = std::chrono::nanoseconds(1ms).count();  // asleep in the first step until woken
    RecordingPort recorder;
    port::backend::Module1 module(recorder);
    port::run::Sequencer sequencer(module, {}, {}, clock);
    sequencer.run(23809);  // 30 Hz: a cycle of 33 ms, within the prompt stop
    QVERIFY(eventually([&] { return clock.blocked() == 1; }));
    QCOMPARE(sequencer.stop().kind, port::run::StopOutcome::Kind::AfterCycle);
    QCOMPARE(sequencer.stop().kind, port::run::StopOutcome::Kind::AgainAtOnce);
    const auto third = sequencer.stop().kind;
    QVERIFY(third == port::run::StopOutcome::Kind::AlreadyStopping || third == port::run::StopOutcome::Kind::IdleWritten);
    QVERIFY(eventually([&] { return sequencer.state() == State::Idle; }));
    const auto writes = recorder.writes();
    QCOMPARE(writes.size(), std::size_t{4});  // the first step, then the idle pair
    QVERIFY(endsIdle(writes));
    QCOMPARE(checkWrites(writes, nullptr, true), QString());
}

// A remote client's orders: a start called off never writes a step; a new
// count only for the start or run it was meant for; a held STOP that never
// turns into "at once" and drops the start waiting behind it; the end at
// once of one run only.
void TestSequencer::ordersFromAfarGoOnlyWhereMeant()
{
    FakeStepClock clock;
    clock.tick = 0;  // held still: the loop stays inside the first step
    RecordingPort recorder;
    port::backend::Module1 module(recorder);
    port::run::Sequencer sequencer(module, {}, {}, clock);
    using Kind = port::run::RunAnswer::Kind;
    const auto calledOff = std::make_shared<port::run::StartTicket>();
    QVERIFY(sequencer.callOff(*calledOff));
    QCOMPARE(sequencer.run(5, {calledOff}).kind, Kind::Refused);
    QCOMPARE(sequencer.run(5, {std::make_shared<port::run::StartTicket>(), true}).kind, Kind::Refused);  // never a start
    QCOMPARE(recorder.size(), std::size_t{0});

    const auto ticket = std::make_shared<port::run::StartTicket>();
    QCOMPARE(sequencer.run(5, {ticket}).run, std::uint64_t{1});
    QCOMPARE(ticket->run(), std::optional<std::uint64_t>(1));
    QVERIFY(!sequencer.callOff(*ticket));  // started
    const auto stale = std::make_shared<port::run::StartTicket>();
    stale->start(2);
    QCOMPARE(sequencer.run(7, {stale, true}).kind, Kind::Refused);
    QCOMPARE(sequencer.delayCount(), std::int64_t{5});
    QCOMPARE(sequencer.run(6, {ticket, true}).kind, Kind::NewCount);
    QVERIFY(eventually([&] { return recorder.size() >= 2; }));
    QCOMPARE(sequencer.stopHeld(2), std::nullopt);
    QCOMPARE(sequencer.stopHeld(1)->kind, port::run::StopOutcome::Kind::AfterCycle);
    const auto queued = std::make_shared<port::run::StartTicket>();
    QCOMPARE(sequencer.run(3, {queued}).kind, Kind::Queued);  // waits behind the stopping run
    QCOMPARE(sequencer.run(4, {queued, true}).kind, Kind::Queued);  // and takes a new count meanwhile
    QCOMPARE(sequencer.delayCount(), std::int64_t{4});
    QCOMPARE(sequencer.stopHeld(1), std::nullopt);                // held: no "again at once"
    QCOMPARE(sequencer.stopHeld()->kind, port::run::StopOutcome::Kind::AlreadyStopping);
    QCOMPARE(queued->state(), port::run::StartTicket::State::Dropped);
    clock.tick = 10;
    QVERIFY(eventually([&] { return sequencer.state() == State::Idle; }));
    QCOMPARE(sequencer.runNumber(), std::uint64_t{1});  // the dropped start never began
    QCOMPARE(checkWrites(recorder.writes()), QString());
    QVERIFY(endsIdle(recorder.writes()));

    QCOMPARE(sequencer.run(5).run, std::uint64_t{2});
    QVERIFY(eventually([&] { return sequencer.cyclesWritten() >= 1; }));
    sequencer.endRunNow(port::run::RunEndCause::CommunicationLost, 1);  // over already
    QVERIFY(eventually([&] { return sequencer.cyclesWritten() >= 3; }));
    sequencer.endRunNow(port::run::RunEndCause::CommunicationLost, 2);
    QVERIFY(eventually([&] { return sequencer.state() == State::Idle; }));
    QCOMPARE(sequencer.endCause(), port::run::RunEndCause::CommunicationLost);
    QCOMPARE(sequencer.trips(), std::uint64_t{1});
}



void TestSequencer::keepAliveTogglesBetweenPairs_data()
{
    QTest::addColumn<bool>("running");
    QTest::addColumn<qint64>("count");
    QTest::newRow("idle: from the wait's wakes") << false << qint64{0};
    QTest::newRow("steps of 20 ms: inside the dwells") << true << qint64{199'999};
    QTest::newRow("steps of 0.1 us: after the pairs") << true << qint64{0};
    QTest::newRow("no dwell: after the pairs") << true << qint64{-1};
}

// Every half period, at idle as during a run, never inside a step's pair nor
// after the idle pair of the way out; at idle, only once the port is idle.
void TestSequencer::keepAliveTogglesBetweenPairs()
{
    QFETCH(bool, running);
    QFETCH(qint64, count);
    using port::backend::keepAliveAddress;
    FakeStepClock clock;
    clock.tick = 1'000;
    RecordingPort recorder;
    recorder.withKeepAlive();
    std::vector<std::int64_t> times;  // of each write; read once the step thread has ended
    recorder.onWrite([&](std::uint64_t) { times.push_back(clock.peek()); });
    port::backend::Module1 module(recorder);
    port::run::Sequencer sequencer(module, {}, {}, clock);
    if (running)
        sequencer.run(count);
    QVERIFY(eventually([&] { return std::ranges::count(recorder.writes(), keepAliveAddress, &RecordingPort::Write::address) >= 8; }));
    sequencer.shutDown();

    const auto writes = recorder.writes();
    std::vector<RecordingPort::Write> pattern;
    std::vector<std::int64_t> toggledAt;
    for (std::size_t at = 0; at < writes.size(); ++at) {
        if (writes[at].address != keepAliveAddress) {
            pattern.push_back(writes[at]);
            continue;
        }
        QCOMPARE(writes[at].value, std::uint8_t(toggledAt.size() % 2 == 0 ? 1 : 0));
        QVERIFY2(at > 0 && writes[at - 1].address != port::backend::dataPort, "a toggle inside a step's pair");
        toggledAt.push_back(times[at]);
    }
    QCOMPARE(checkWrites(pattern, nullptr, true), QString());
    QVERIFY(running ? endsIdle(writes) : pattern.size() == 2);
    // A toggle waits for the next pair: late by a short step, or in a long
    // one by the keep-alive's slack.
    const std::int64_t half = std::chrono::nanoseconds(port::run::Sequencer::keepAliveHalfPeriod).count();
    const std::int64_t slack = 100'000 + std::min(port::pattern::stepLengthFor(count).count(),
                                                  std::chrono::nanoseconds(port::run::Sequencer::keepAliveSlack).count());
    for (std::size_t at = 1; at < toggledAt.size(); ++at)
        QVERIFY2(std::abs(toggledAt[at] - toggledAt[at - 1] - half) <= slack,
                 qPrintable(QStringLiteral("toggle %1 came %2 ns after the one before").arg(at).arg(
                     toggledAt[at] - toggledAt[at - 1])));
}

// A toggle the port refuses is said once, however long the port refuses;
// the keep-alive then waits for an idle pair to reach the port before it
// toggles again.
void TestSequencer::keepAliveFailureIsSaidOnceAndIdleComesFirst()
{
    FakeStepClock clock;
    RecordingPort recorder;
    recorder.withKeepAlive();
    recorder.failAt(3);  // the second toggle, and every write after it until told otherwise
    port::backend::Module1 module(recorder);
    Observed observed;
    port::run::Sequencer sequencer(module, observed.callbacks(), {}, clock);
    QVERIFY(eventually([&] { return clock.peek() > 6 * std::chrono::nanoseconds(port::run::Sequencer::keepAliveHalfPeriod).count(); }));
    QCOMPARE(recorder.size(), std::size_t{3});
    recorder.failAt(std::numeric_limits<std::uint64_t>::max());
    QVERIFY(eventually([&] { return recorder.size() >= 6; }));
    sequencer.shutDown();
    std::vector<std::uint16_t> addresses;
    for (const auto& write : recorder.writes())
        addresses.push_back(write.address);
    addresses.resize(6);  // idle pair, toggle, [refused], idle pair, toggle
    QCOMPARE(addresses, (std::vector<std::uint16_t>{0x378, 0x37A, 0, 0x378, 0x37A, 0}));
    const auto errors = observed.errorsSeen();
    QCOMPARE(errors.size(), std::size_t{1});
    QVERIFY2(errors[0].starts_with("the keep-alive: writing to the test port failed"), errors[0].c_str());
}

// An exit hook stops it first: a run ended after that has its idle pair
// last, with no toggle after it nor in its dwells.
void TestSequencer::keepAliveStopsForGoodAsTheProgramEnds()
{
    FakeStepClock clock;
    RecordingPort recorder;
    recorder.withKeepAlive();
    port::backend::Module1 module(recorder);
    port::run::Sequencer sequencer(module, {}, {}, clock);
    QVERIFY(eventually([&] { return recorder.size() >= 4; }));  // the idle pair, toggles
    port::run::Sequencer::stopAllKeepAlives();
    const std::size_t stopped = recorder.size() + 1;  // one toggle may be under way
    QVERIFY(runFor(sequencer, 199'999, 2));  // steps of 20 ms: four toggles due in each
    const auto writes = recorder.writes();
    QVERIFY(std::none_of(writes.begin() + static_cast<std::ptrdiff_t>(stopped), writes.end(),
                         [](const auto& write) { return write.address == port::backend::keepAliveAddress; }));
    QVERIFY(endsIdle(writes));
}

// Who a run is: read as one with its state, never promised before it
// exists, never given twice, and never begun behind a request to end runs.
using Script = std::function<QString()>;
Q_DECLARE_METATYPE(Script)

void TestSequencer::runIdentity_data()
{
    QTest::addColumn<Script>("script");
    QTest::newRow("6: the state and the run number are read as one") << Script([] {
        RecordingPort recorder;
        port::backend::Module1 module(recorder);
        port::run::Sequencer sequencer(module, {});
        std::atomic<std::uint64_t> stopping{0};
        std::atomic<std::uint64_t> torn{0};
        std::atomic<bool> done{false};
        std::thread reader([&] {
            while (!done.load()) {
                const auto [state, run] = sequencer.identity();
                if (state == State::Idle && run > stopping.load())
                    torn = run;  // run is over before its STOP was sent
            }
        });
        for (std::uint64_t run = 1; run <= 5000 && torn == 0; ++run) {
            sequencer.run(0);
            stopping = run;
            sequencer.stop();
            eventually([&] { return sequencer.state() == State::Idle; });
        }
        done = true;
        reader.join();
        return torn ? QStringLiteral("read idle with run %1 as it began").arg(torn.load()) : QString();
    });
    QTest::newRow("7: a start dropped while it waited retires no number") << Script([] {
        FakeStepClock clock;
        clock.tick = 0;  // held still: the loop stays inside the first step
        RecordingPort recorder;
        port::backend::Module1 module(recorder);
        port::run::Sequencer sequencer(module, {}, {}, clock);
        sequencer.run(5);
        eventually([&] { return recorder.size() >= 2; });
        sequencer.stop();
        const auto ticket = std::make_shared<port::run::StartTicket>();
        sequencer.run(3, {ticket});  // waits behind the stopping run
        sequencer.stopHeld();
        clock.tick = 10;
        eventually([&] { return sequencer.state() == State::Idle; });
        const std::uint64_t operators = sequencer.run(4).run;
        sequencer.shutDown();
        if (ticket->run() == operators)
            return QStringLiteral("the dropped start names run %1, the operator's").arg(operators);
        return QString();
    });
    QTest::newRow("30.8: an end request drops a start waiting behind the run") << Script([] {
        FakeStepClock clock;
        clock.blockBeyond = std::chrono::nanoseconds(1ms).count();  // asleep in the first step until woken
        RecordingPort recorder;
        port::backend::Module1 module(recorder);
        port::run::Sequencer sequencer(module, {}, {}, clock);
        sequencer.run(23809);
        eventually([&] { return clock.blocked() == 1; });
        sequencer.stop();  // the cycle completes, asleep
        sequencer.run(5);  // waits behind it
        port::run::Sequencer::endAllRuns(port::run::RunEndCause::CpuLimit);
        eventually([&] { return sequencer.state() == State::Idle; });
        std::this_thread::sleep_for(5ms);  // time for a run that should not begin
        const bool ran = sequencer.state() != State::Idle || sequencer.runNumber() != 1;
        sequencer.shutDown();
        if (ran)
            return QStringLiteral("run %1 began after the end request").arg(sequencer.runNumber());
        return sequencer.endCause() == port::run::RunEndCause::CpuLimit ? QString() : QStringLiteral("the trip was lost");
    });
}

void TestSequencer::runIdentity()
{
    QFETCH(Script, script);
    QCOMPARE(script(), QString());
}

QTEST_GUILESS_MAIN(TestSequencer)
#include "tst_sequencer.moc"
