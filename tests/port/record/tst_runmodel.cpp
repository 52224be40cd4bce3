// The run read from a real write record, drained as it is written or taken
// once as a snapshot: whole cycles, STOP mid-cycle, a new run after idle,
// writes lost to wrap-around, a record that begins mid-cycle, and what the
// registers show.
#include <QTest>

#include <cstdint>
#include <optional>
#include <vector>

#include "expectedpattern.h"
#include "port/backend/port.h"
#include "port/pattern/steppattern.h"
#include "port/record/runmodel.h"
#include "port/record/writerecord.h"

using port::record::RunModel;
using Write = port::record::WriteRecord::Write;

namespace {

constexpr std::int64_t origin = 1'000'000'000;  // the record's first time, ns
constexpr std::int64_t step = 10'000;           // ns from step to step
constexpr std::int64_t cycle = step * static_cast<std::int64_t>(port::pattern::stepsPerCycle);

// What happens at the port, and when the reader looks.
struct Action {
    enum Kind { Steps, Stop, Wait, Look } kind;
    std::int64_t amount = 0;  // steps for Steps, ns for Wait
};
using Script = std::vector<Action>;
using Times = std::vector<qint64>;

Action steps(int count) { return {Action::Steps, count}; }
Action wait(std::int64_t ns) { return {Action::Wait, ns}; }
const Action stop{Action::Stop};
const Action look{Action::Look};

// What the model made of the run: its start against origin, how it began
// ("seen", "unseen" or "after" a time) and its end when it has one.
QString runText(const RunModel& model)
{
    const auto& run = model.run();
    if (!run)
        return QStringLiteral("none");
    QString text = QStringLiteral("start %1 ").arg(run->start - origin);
    if (run->startSeen)
        text += QStringLiteral("seen");
    else if (run->startedAfter)
        text += QStringLiteral("after %1").arg(*run->startedAfter - origin);
    else
        text += QStringLiteral("unseen");
    if (run->end)
        text += QStringLiteral(", end %1").arg(*run->end - origin);
    return text;
}

// What of the run the record's held writes leave out.
QString lostText(const RunModel& model, const Write& first)
{
    if (!model.run())
        return QStringLiteral("no run");
    const RunModel::Lost lost = model.run()->lostBefore(first);
    if (lost.startHeld)
        return QStringLiteral("held");
    if (lost.missing)
        return QStringLiteral("missing %1").arg(*lost.missing);
    if (lost.missingAtMost)
        return QStringLiteral("at most %1").arg(*lost.missingAtMost);
    return QStringLiteral("unknown");
}

}  // namespace

Q_DECLARE_METATYPE(Script)

class TestRunModel : public QObject
{
    Q_OBJECT

private slots:
    void readsTheRun_data();
    void readsTheRun();
    void registersShow_data();
    void registersShow();
};

// Steps every 10 µs from origin, data then control 1 ns later; STOP writes
// the idle pair a step after the last. Drained: the reader takes what the
// record holds at every look and at the end; otherwise it takes one
// snapshot at the end.
void TestRunModel::readsTheRun_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<int>("capacity");
    QTest::addColumn<bool>("drained");
    QTest::addColumn<int>("stepsSeen");    // step starts taken
    QTest::addColumn<Times>("wholeCycles");
    QTest::addColumn<QString>("run");
    QTest::addColumn<QString>("lost");     // before the oldest write held

    const qint64 c = cycle;
    QTest::newRow("whole cycles")
        << Script{steps(46)} << 4096 << false << 46 << Times{c, c, c} << "start 0 seen" << "held";
    QTest::newRow("whole cycles, drained in pieces")
        << Script{steps(13), look, steps(1), look, steps(32)} << 4096 << true << 46 << Times{c, c, c}
        << "start 0 seen" << "held";
    // A cycle that STOP cuts short ends nothing.
    QTest::newRow("STOP mid-cycle")
        << Script{steps(20), stop} << 4096 << false << 20 << Times{c} << "start 0 seen, end 200000" << "held";
    QTest::newRow("STOP again while idle")
        << Script{steps(20), stop, wait(1'000'000), stop} << 4096 << false << 20 << Times{c}
        << "start 0 seen, end 200000" << "held";
    // STOP at a cycle's end and RUN at once: the two starts are 30 writes apart.
    QTest::newRow("STOP and RUN at once")
        << Script{steps(14), stop, steps(29)} << 4096 << false << 43 << Times{c, c} << "start 150000 seen" << "held";
    QTest::newRow("new run after idle")
        << Script{steps(20), stop, wait(1'000'000), steps(30)} << 4096 << false << 50 << Times{c, c, c}
        << "start 1210000 seen" << "held";
    // 64 writes held: steps 68..99. The reader saw the start; the record no longer holds it.
    QTest::newRow("start no longer held")
        << Script{steps(20), look, steps(20), look, steps(20), look, steps(20), look, steps(20)} << 64 << true
        << 100 << Times(7, c) << "start 0 seen" << "missing 680000";
    // The same record read once: it begins at step 68, mid-cycle, and
    // nothing tells when the run began.
    QTest::newRow("begins mid-cycle")
        << Script{steps(100)} << 64 << false << 32 << Times{c, c} << "start 680000 unseen" << "unknown";
    // Looked at while nothing was written, then more than the record holds.
    QTest::newRow("start lost while idle")
        << Script{wait(-1'000'000), look, wait(1'000'000), steps(100)} << 64 << true << 32 << Times{c, c}
        << "start 680000 after -1000000" << "at most 1680000";
    QTest::newRow("new run lost while idle")
        << Script{steps(10), stop, look, wait(1'000'000), steps(100)} << 64 << true << 42 << Times{c, c}
        << "start 1790000 after 110000" << "at most 1680000";
    // Writes lost within a cycle leave it whole; its two starts are one
    // cycle of writes apart. Cycles lost whole leave none across the gap.
    QTest::newRow("lost within a cycle")
        << Script{steps(3), look, steps(20)} << 32 << true << 19 << Times{c} << "start 0 seen" << "missing 70000";
    QTest::newRow("lost across cycles")
        << Script{steps(20), look, steps(60)} << 64 << true << 52 << Times{c, c} << "start 0 seen"
        << "missing 480000";
}

void TestRunModel::readsTheRun()
{
    QFETCH(Script, script);
    QFETCH(int, capacity);
    QFETCH(bool, drained);
    QFETCH(int, stepsSeen);
    QFETCH(Times, wholeCycles);
    QFETCH(QString, run);
    QFETCH(QString, lost);

    port::record::WriteRecord record{std::size_t(capacity)};
    RunModel model;
    int stepStarts = 0;
    Times cycles;
    std::uint64_t next = 0;
    const auto drain = [&] {
        for (const Write& write : record.since(next, record.capacity(), next)) {
            const RunModel::Reading reading = model.take(write);
            stepStarts += reading.stepStart ? 1 : 0;
            if (reading.wholeCycle)
                cycles.push_back(*reading.wholeCycle);
        }
    };
    std::int64_t now = origin;
    std::size_t patternStep = 0;
    for (const Action& action : script) {
        switch (action.kind) {
        case Action::Steps:
            for (std::int64_t i = 0; i < action.amount; ++i, now += step) {
                const ExpectedStep& written = expectedStep(patternStep++);
                record.add(now, port::backend::dataPort, written.data);
                record.add(now + 1, port::backend::controlPort, written.control);
            }
            break;
        case Action::Stop:
            record.add(now, port::backend::dataPort, port::pattern::idleData);
            record.add(now + 1, port::backend::controlPort, port::pattern::idleControl);
            now += step;
            patternStep = 0;
            break;
        case Action::Wait:
            now += action.amount;
            break;
        case Action::Look:
            if (drained) {
                drain();
                model.lookedAt(now);
            }
            break;
        }
    }
    if (!drained)
        next = record.total() - std::min<std::uint64_t>(record.total(), record.capacity());
    drain();

    QCOMPARE(stepStarts, stepsSeen);
    QCOMPARE(cycles, wholeCycles);
    QCOMPARE(model.cycleLength(), wholeCycles.empty() ? std::nullopt : std::optional<std::int64_t>(cycle));
    QCOMPARE(runText(model), run);
    QCOMPARE(lostText(model, record.snapshot(record.capacity()).front()), lost);
}

// What the registers show after whole steps of the pattern and one more data
// or control write, perhaps after writes were lost.
void TestRunModel::registersShow_data()
{
    QTest::addColumn<int>("steps");
    QTest::addColumn<int>("extraData");     // -1: none
    QTest::addColumn<int>("extraControl");  // -1: none
    QTest::addColumn<bool>("lostBefore");   // writes lost before the extra ones
    QTest::addColumn<int>("shown");         // step of the pattern, -1: none
    QTest::addColumn<bool>("idle");

    const int step5Data = expectedSteps[5].data;
    QTest::newRow("nothing written")         << 0  << -1        << -1   << false << -1 << false;
    QTest::newRow("step complete")           << 19 << -1        << -1   << false << 4  << false;
    QTest::newRow("control pending")         << 19 << step5Data << -1   << false << 5  << false;
    QTest::newRow("control not the step's")  << 19 << step5Data << 0x00 << false << -1 << false;
    QTest::newRow("cycle end")               << 14 << -1        << -1   << false << 13 << false;
    QTest::newRow("idle after run")          << 20 << 0x00      << 0x02 << false << -1 << true;
    QTest::newRow("idle only")               << 0  << 0x00      << 0x02 << false << -1 << true;
    // Step 14's control 0 still holds: not the idle pair yet.
    QTest::newRow("idle data, control pending") << 14 << 0x00   << -1   << false << -1 << false;
    QTest::newRow("an unknown byte")         << 0  << 0x33      << 0x00 << false << -1 << false;
    // The lost writes may have changed the data register.
    QTest::newRow("control after lost writes") << 19 << -1      << 0x00 << true  << -1 << false;
    QTest::newRow("data after lost writes")  << 19 << step5Data << -1   << true  << 5  << false;
}

void TestRunModel::registersShow()
{
    QFETCH(int, steps);
    QFETCH(int, extraData);
    QFETCH(int, extraControl);
    QFETCH(bool, lostBefore);
    QFETCH(int, shown);
    QFETCH(bool, idle);

    RunModel model;
    std::uint64_t index = 0;
    std::int64_t now = origin;
    for (int i = 0; i < steps; ++i, now += step) {
        const ExpectedStep& written = expectedStep(std::size_t(i));
        model.take(Write{now, port::backend::dataPort, written.data, index++});
        model.take(Write{now + 1, port::backend::controlPort, written.control, index++});
    }
    if (lostBefore)
        index += 5;
    if (extraData >= 0)
        model.take(Write{now, port::backend::dataPort, std::uint8_t(extraData), index++});
    if (extraControl >= 0)
        model.take(Write{now + 1, port::backend::controlPort, std::uint8_t(extraControl), index++});

    QCOMPARE(model.stepShown(), shown < 0 ? std::nullopt : std::optional<std::size_t>(std::size_t(shown)));
    QCOMPARE(model.idleShown(), idle);
}

QTEST_GUILESS_MAIN(TestRunModel)
#include "tst_runmodel.moc"
