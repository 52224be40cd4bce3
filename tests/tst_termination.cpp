// Termination signals take the orderly way out: sent to a program that runs
// the real run controller, each ends it with status 0 and the idle pair as
// the last writes; a second signal during the way out ends it right after
// the idle writes.
#include "port/port.h"
#include "port/steppattern.h"
#include "piperecord.h"

#include <QProcess>
#include <QTest>

#include <signal.h>

#include <cstdint>
#include <vector>

namespace {

// Every step's pair whole and in pattern order, the idle pair last.
QString checkWayOut(const QByteArray& records)
{
    std::vector<PipeWrite> writes = pipeWrites(records.constData(), static_cast<std::size_t>(records.size()));
    if (!endsIdle(writes))
        return QStringLiteral("the last pair of %1 writes is not the idle pair").arg(writes.size());
    writes.resize(writes.size() - 2);
    if (writes.size() % 2 != 0)
        return QStringLiteral("a step cut in two before the idle pair");
    if (const long stray = firstStray(writes); stray >= 0)
        return QStringLiteral("write %1 is not its step's").arg(stray);
    return {};
}

// What the target says comes on stderr: waitForReadyRead waits on the read
// channel, so the caller has set it to StandardError.
bool waitForLine(QProcess& process, const QByteArray& line, QByteArray& seen)
{
    while (!seen.contains(line)) {
        if (!process.waitForReadyRead(20000))
            return false;
        seen += process.readAllStandardError();
    }
    return true;
}

}  // namespace

class TestTermination : public QObject {
    Q_OBJECT

private slots:
    void eachSignalLeavesThePortIdle_data();
    void eachSignalLeavesThePortIdle();
    void secondSignalEndsRightAfterTheIdleWrites();
};

void TestTermination::eachSignalLeavesThePortIdle_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<QString>("delayCount");
    for (const auto& [name, number] : {std::pair{"SIGTERM", SIGTERM}, std::pair{"SIGINT", SIGINT},
                                       std::pair{"SIGHUP", SIGHUP}, std::pair{"SIGQUIT", SIGQUIT}}) {
        QTest::addRow("%s at 1 kHz", name) << number << QStringLiteral("714");
        QTest::addRow("%s at 1 Hz", name) << number << QStringLiteral("714285");
    }
}

void TestTermination::eachSignalLeavesThePortIdle()
{
    QFETCH(int, signalNumber);
    QFETCH(QString, delayCount);
    QProcess target;
    target.setReadChannel(QProcess::StandardError);
    target.start(QStringLiteral(SIGNALTARGET), {delayCount});
    QVERIFY(target.waitForStarted());
    QByteArray said;
    QVERIFY2(waitForLine(target, "running", said), said.constData());
    ::kill(static_cast<pid_t>(target.processId()), signalNumber);
    QVERIFY(target.waitForFinished(20000));
    said += target.readAllStandardError();
    QCOMPARE(target.exitStatus(), QProcess::NormalExit);
    QCOMPARE(target.exitCode(), 0);
    QVERIFY2(said.contains("event loop ended"), said.constData());
    QCOMPARE(checkWayOut(target.readAllStandardOutput()), QString());
}

// The idle data write waits for it: a second SIGTERM in that time ends the
// program once the idle pair is out, without going back to the event loop.
void TestTermination::secondSignalEndsRightAfterTheIdleWrites()
{
    QProcess target;
    target.setReadChannel(QProcess::StandardError);
    target.start(QStringLiteral(SIGNALTARGET), {QStringLiteral("714"), QStringLiteral("slow-way-out")});
    QVERIFY(target.waitForStarted());
    QByteArray said;
    QVERIFY2(waitForLine(target, "running", said), said.constData());
    const auto pid = static_cast<pid_t>(target.processId());
    ::kill(pid, SIGTERM);
    QVERIFY2(waitForLine(target, "leaving", said), said.constData());
    ::kill(pid, SIGTERM);
    QVERIFY(target.waitForFinished(20000));
    said += target.readAllStandardError();
    QCOMPARE(target.exitStatus(), QProcess::NormalExit);
    QCOMPARE(target.exitCode(), 0);
    QVERIFY2(!said.contains("event loop ended"), said.constData());
    QCOMPARE(checkWayOut(target.readAllStandardOutput()), QString());
}

QTEST_GUILESS_MAIN(TestTermination)
#include "tst_termination.moc"
