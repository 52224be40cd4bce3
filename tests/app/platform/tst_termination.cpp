// Every way out leaves the port idle: sent to a program that runs the real
// run adapter, each signal 1-31 and each exit ends with the idle pair last,
// leaves the run alone, or cannot be caught. A second signal during the way
// out ends it right after the idle writes. When the window does not answer
// (its thread stuck, or stuck in a way out that never ends), the signal
// thread ends the run and the program itself, with the same status and the
// same last writes.
#include "piperecord.h"
#include "port/backend/port.h"
#include "port/pattern/steppattern.h"

#include <QFile>
#include <QProcess>
#include <QTest>

#include <signal.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// Marks the target puts among its writes: a run taken late, a line said.
const PipeWrite ranLate{0xFFFF, 0};
const PipeWrite saidMark{0xFFFE, 0};

// Every step's pair whole and in pattern order, the idle pair last.
QString checkWayOut(const QByteArray& records)
{
    std::vector<PipeWrite> writes = pipeWrites(records.constData(), static_cast<std::size_t>(records.size()));
    std::erase(writes, saidMark);
    return QString::fromStdString(wayOutFault(writes));
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

// 'T' once the process has stopped (after its name, which may hold spaces).
char processState(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    const QByteArray line = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
    return line.mid(line.lastIndexOf(')') + 2, 1).append('?').at(0);
}

// What a way out does to the target.
enum class Ending {
    Exits,    // with the status given (EXIT's way out: 0)
    Crashes,  // with the signal, the idle pair first unless it is SIGKILL
    GoesOn,   // the run goes on, until SIGTERM
    RunEnds,  // the run ends idle, the program goes on
    Halts,    // the program stops, idle unless it is SIGSTOP; after SIGCONT it goes on
};

}  // namespace

Q_DECLARE_METATYPE(Ending)

class TestTermination : public QObject {
    Q_OBJECT

private slots:
    void eachWayOutLeavesThePortIdle_data();
    void eachWayOutLeavesThePortIdle();
    void secondSignalEndsRightAfterTheIdleWrites();
    void stuckWindowIsLeftFromTheSignalThread_data();
    void stuckWindowIsLeftFromTheSignalThread();
    void runTakenLateWritesNothing();
};

void TestTermination::eachWayOutLeavesThePortIdle_data()
{
    QTest::addColumn<QString>("mode");      // the target's; empty: none
    QTest::addColumn<int>("signalNumber");  // 0: none
    QTest::addColumn<QString>("delayCount");
    QTest::addColumn<Ending>("ending");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("said");  // a part of stderr

    const QString fast = QStringLiteral("714");  // 1 kHz
    const std::vector<std::pair<int, Ending>> everySignal{
        {SIGHUP, Ending::Exits},    {SIGINT, Ending::Exits},     {SIGQUIT, Ending::Exits},
        {SIGILL, Ending::Crashes},  {SIGTRAP, Ending::Crashes},  {SIGABRT, Ending::Crashes},
        {SIGBUS, Ending::Crashes},  {SIGFPE, Ending::Crashes},   {SIGKILL, Ending::Crashes},
        {SIGUSR1, Ending::Exits},   {SIGSEGV, Ending::Crashes},  {SIGUSR2, Ending::Exits},
        {SIGPIPE, Ending::GoesOn},  {SIGALRM, Ending::Exits},    {SIGTERM, Ending::Exits},
        {SIGSTKFLT, Ending::Exits}, {SIGCHLD, Ending::GoesOn},   {SIGCONT, Ending::GoesOn},
        {SIGSTOP, Ending::Halts},   {SIGTSTP, Ending::Halts},    {SIGTTIN, Ending::Halts},
        {SIGTTOU, Ending::Halts},   {SIGURG, Ending::GoesOn},    {SIGXCPU, Ending::RunEnds},
        {SIGXFSZ, Ending::Crashes}, {SIGVTALRM, Ending::Exits},  {SIGPROF, Ending::Exits},
        {SIGWINCH, Ending::GoesOn}, {SIGIO, Ending::Exits},      {SIGPWR, Ending::Exits},
        {SIGSYS, Ending::Crashes}};
    QCOMPARE(everySignal.size(), std::size_t{31});
    const QByteArray orderly = "event loop ended";
    for (const auto& [number, ending] : everySignal) {
        const QByteArray said = number == SIGSTOP || ending == Ending::Crashes ? ""
                                : ending == Ending::Halts ? "the run was stopped and the port left idle; the program stops"
                                                          : orderly;
        QTest::addRow("%d %s", number, sigabbrev_np(number)) << QString() << number << fast << ending << 0 << said;
    }
    QTest::newRow("SIGTERM at 1 Hz, the step thread asleep in its dwell")
        << QString() << SIGTERM << QStringLiteral("714285") << Ending::Exits << 0 << orderly;
    QTest::newRow("SIGRTMIN") << QString() << SIGRTMIN << fast << Ending::Exits << 0 << orderly;
    QTest::newRow("exit(), as Qt's X11 plugin calls it when the display goes away")
        << QStringLiteral("exit") << 0 << fast << Ending::Exits << 3 << QByteArray();
    QTest::newRow("quick_exit()") << QStringLiteral("quick-exit") << 0 << fast << Ending::Exits << 3 << QByteArray();
    QTest::newRow("a line to stderr, a pipe whose reader has gone")
        << QStringLiteral("stderr-gone") << 0 << fast << Ending::GoesOn << 0 << QByteArray();
    // what the forced way out's seal does to a RUN taken between its look and the seal
    QTest::newRow("port sealed under a run, then STOP and the forced way out")
        << QStringLiteral("sealed") << 0 << fast << Ending::Exits << 0 << QByteArray("STOP wrote nothing");
}

void TestTermination::eachWayOutLeavesThePortIdle()
{
    QFETCH(QString, mode);
    QFETCH(int, signalNumber);
    QFETCH(QString, delayCount);
    QFETCH(Ending, ending);
    QFETCH(int, status);
    QFETCH(QByteArray, said);
    QProcess target;
    target.setReadChannel(QProcess::StandardError);
    target.start(QStringLiteral(SIGNALTARGET), mode.isEmpty() ? QStringList{delayCount} : QStringList{delayCount, mode});
    QVERIFY(target.waitForStarted());
    QByteArray stderrSeen;
    QVERIFY2(waitForLine(target, "running", stderrSeen), stderrSeen.constData());
    const auto pid = static_cast<pid_t>(target.processId());
    if (signalNumber != 0)
        ::kill(pid, signalNumber);

    QByteArray records;
    const auto writes = [&] {
        records += target.readAllStandardOutput();
        return pipeWrites(records.constData(), static_cast<std::size_t>(records.size()));
    };
    if (ending == Ending::RunEnds)
        QTRY_VERIFY_WITH_TIMEOUT(endsIdle(writes()), 20000);
    if (ending == Ending::GoesOn) {  // two cycles more once the target has said its line
        if (mode == "stderr-gone")
            QTRY_VERIFY_WITH_TIMEOUT(std::ranges::count(writes(), saidMark) == 1, 20000);
        const std::size_t seen = writes().size();
        QTRY_VERIFY_WITH_TIMEOUT(writes().size() >= seen + 2 * port::pattern::writesPerCycle, 20000);
    }
    if (ending == Ending::Halts) {
        QTRY_COMPARE_WITH_TIMEOUT(processState(pid), 'T', 20000);
        target.setReadChannel(QProcess::StandardOutput);
        while (target.waitForReadyRead(100)) {  // all it wrote before it stopped
        }
        QCOMPARE(endsIdle(writes()), signalNumber != SIGSTOP);  // nothing can catch SIGSTOP
        ::kill(pid, SIGCONT);
    }
    if (ending != Ending::Exits && ending != Ending::Crashes)
        ::kill(pid, SIGTERM);
    QVERIFY(target.waitForFinished(20000));
    stderrSeen += target.readAllStandardError();
    QCOMPARE(target.exitStatus(), ending == Ending::Crashes ? QProcess::CrashExit : QProcess::NormalExit);
    QCOMPARE(target.exitCode(), ending == Ending::Crashes ? signalNumber : status);
    QVERIFY2(stderrSeen.contains(said), stderrSeen.constData());
    writes();
    if (signalNumber != SIGKILL)  // nothing can catch it: the port keeps what it held
        QCOMPARE(checkWayOut(records), QString());
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
