// Termination signals take the orderly way out: sent to a program that runs
// the real run adapter, each ends it with status 0 and the idle pair as
// the last writes; a second signal during the way out ends it right after
// the idle writes. When the window does not answer (its thread stuck, or
// stuck in a way out that never ends), the signal thread ends the run and
// the program itself, with the same status and the same last writes.
#include "piperecord.h"
#include "port/backend/port.h"
#include "port/pattern/steppattern.h"

#include <QProcess>
#include <QTest>

#include <signal.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

// Every step's pair whole and in pattern order, the idle pair last.
QString checkWayOut(const QByteArray& records)
{
    return QString::fromStdString(
        wayOutFault(pipeWrites(records.constData(), static_cast<std::size_t>(records.size()))));
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
    void stuckWindowIsLeftFromTheSignalThread_data();
    void stuckWindowIsLeftFromTheSignalThread();
    void runTakenLateWritesNothing();
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

void TestTermination::stuckWindowIsLeftFromTheSignalThread_data()
{
    QTest::addColumn<QString>("delayCount");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QByteArray>("stuck");  // what the target says once it is
    QTest::addColumn<QByteArray>("ending");  // what the signal thread says as it ends the program
    const QByteArray byStepThread = "did not answer SIGTERM within 1 s; the run was ended from the signal thread\n";
    QTest::newRow("window stuck at 1 kHz")
        << QStringLiteral("714") << QStringLiteral("stuck-window") << QByteArray("window stuck") << byStepThread;
    QTest::newRow("window stuck at 1 Hz, the step thread asleep in its dwell")
        << QStringLiteral("714285") << QStringLiteral("stuck-window") << QByteArray("window stuck") << byStepThread;
    QTest::newRow("port write stuck, the window joining the step thread")
        << QStringLiteral("714") << QStringLiteral("stuck-write") << QByteArray("write stuck")
        << QByteArray("the run was ended from the signal thread, which wrote the idle pair itself");
}

void TestTermination::stuckWindowIsLeftFromTheSignalThread()
{
    QFETCH(QString, delayCount);
    QFETCH(QString, mode);
    QFETCH(QByteArray, stuck);
    QFETCH(QByteArray, ending);
    QProcess target;
    target.setReadChannel(QProcess::StandardError);
    target.start(QStringLiteral(SIGNALTARGET), {delayCount, mode});
    QVERIFY(target.waitForStarted());
    QByteArray said;
    QVERIFY2(waitForLine(target, stuck, said), said.constData());
    ::kill(static_cast<pid_t>(target.processId()), SIGTERM);
    QVERIFY(target.waitForFinished(20000));
    said += target.readAllStandardError();
    QCOMPARE(target.exitStatus(), QProcess::NormalExit);
    QCOMPARE(target.exitCode(), 0);
    QVERIFY2(said.contains(ending), said.constData());
    QVERIFY2(!said.contains("event loop ended"), said.constData());
    QCOMPARE(checkWayOut(target.readAllStandardOutput()), QString());
}

// Between the forced way out and the program's end, a RUN the window's
// thread takes late writes nothing: the idle pair stays the last write.
void TestTermination::runTakenLateWritesNothing()
{
    QProcess target;
    target.setReadChannel(QProcess::StandardError);
    target.start(QStringLiteral(SIGNALTARGET), {QStringLiteral("714"), QStringLiteral("run-late")});
    QVERIFY(target.waitForStarted());
    QByteArray said;
    QVERIFY2(waitForLine(target, "window stuck", said), said.constData());
    ::kill(static_cast<pid_t>(target.processId()), SIGTERM);
    target.setReadChannel(QProcess::StandardOutput);
    const PipeWrite ranLate{0xFFFF, 0};
    QByteArray records;
    std::vector<PipeWrite> writes;
    while (std::ranges::find(writes, ranLate) == writes.end()) {
        QVERIFY2(target.waitForReadyRead(20000), "the late RUN never came");
        records += target.readAllStandardOutput();
        writes = pipeWrites(records.constData(), static_cast<std::size_t>(records.size()));
    }
    target.kill();
    target.waitForFinished();
    writes.erase(std::ranges::find(writes, ranLate), writes.end());
    QCOMPARE(QString::fromStdString(wayOutFault(writes)), QString());
}

QTEST_GUILESS_MAIN(TestTermination)
#include "tst_termination.moc"
