// The crash guard: crashtarget runs the real sequencer on a port that sends
// every write to its stdout and crashes on purpose; each crash must still end
// as that crash, with the idle pair as the last writes and every step before
// it whole, but for the one the step thread may have been writing.
#include "piperecord.h"
#include "port/backend/port.h"
#include "port/pattern/steppattern.h"

#include <QProcess>
#include <QTest>

#include <csignal>
#include <cstdint>
#include <vector>

namespace {

constexpr int longestRunMs = 60'000;

using Write = PipeWrite;

std::vector<Write> writesIn(const QByteArray& bytes)
{
    return pipeWrites(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

}  // namespace

class TestCrashGuard : public QObject {
    Q_OBJECT

private slots:
    void crashLeavesThePortIdle_data();
    void crashLeavesThePortIdle();
};

void TestCrashGuard::crashLeavesThePortIdle_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("guard");
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("idle");
    // Writes of the pattern before the idle pair when the crash comes at a
    // known write; -1 when it comes from the main thread at any moment.
    QTest::addColumn<int>("stepWrites");

    // crashes on the main thread while the step thread writes
    QTest::newRow("null write") << "segv" << "guarded" << SIGSEGV << true << -1;
    QTest::newRow("stack overflow") << "overflow" << "guarded" << SIGSEGV << true << -1;
    QTest::newRow("mapping past its file's end") << "bus" << "guarded" << SIGBUS << true << -1;
    QTest::newRow("division by zero") << "fpe" << "guarded" << SIGFPE << true << -1;
    QTest::newRow("illegal instruction") << "ill" << "guarded" << SIGILL << true << -1;
    QTest::newRow("abort") << "abrt" << "guarded" << SIGABRT << true << -1;
    QTest::newRow("exception through noexcept") << "terminate" << "guarded" << SIGABRT << true << -1;

    // crashes inside a write on the step thread, after the data byte of step
    // 5 in cycle 4: that step stays half written, and nothing else follows
    const int halfStep = 4 * port::pattern::writesPerCycle + 5 * port::pattern::writesPerStep + 1;
    QTest::newRow("null write inside a step write") << "segv-step" << "guarded" << SIGSEGV << true << halfStep;
    QTest::newRow("exception inside a step write")
        << "terminate-step" << "guarded" << SIGABRT << true << halfStep;
    // a crash on the main thread while the step thread is inside that write:
    // the step's pair completes before the idle pair, and nothing after it
    QTest::newRow("null write while a step write is under way")
        << "segv-midwrite" << "guarded" << SIGSEGV << true << halfStep + 1;
    // the handler waits for that write, which crashes the same way: the
    // second crash waits for the first handler's idle pair
    QTest::newRow("null write, then another inside the step write it waits for")
        << "segv-twice" << "guarded" << SIGSEGV << true << halfStep;

    // without the guard the last step stays on the port: the test can tell
    QTest::newRow("not installed") << "segv" << "unguarded" << SIGSEGV << false << -1;
    QTest::newRow("installed, then cleared") << "segv" << "cleared" << SIGSEGV << false << -1;
}

void TestCrashGuard::crashLeavesThePortIdle()
{
    QFETCH(QString, kind);
    QFETCH(QString, guard);
    QFETCH(int, signal);
    QFETCH(bool, idle);
    QFETCH(int, stepWrites);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // With no handler of ours, the sanitizer's own reports the crash and
    // ends the process with an exit status instead of the signal.
    if (guard == "unguarded")
        QSKIP("the sanitizer handles the crash when nothing else does");
#endif

    QProcess target;
    target.setProcessChannelMode(QProcess::SeparateChannels);
    target.start(QStringLiteral(CRASHTARGET), {kind, guard});
    QVERIFY2(target.waitForStarted(), qPrintable(target.errorString()));
    QVERIFY(target.waitForFinished(longestRunMs));
    const QByteArray errors = target.readAllStandardError();
    QVERIFY2(target.exitStatus() == QProcess::CrashExit,
             qPrintable(QStringLiteral("exit status %1: %2").arg(target.exitCode()).arg(errors)));
    QCOMPARE(target.exitCode(), signal);  // the signal that ended it
    // No handler waits out a write: not the crashing thread's own, which never ends.
    QVERIFY2(!errors.contains("had not ended"), errors.constData());

    const QByteArray bytes = target.readAllStandardOutput();
    QCOMPARE(static_cast<std::size_t>(bytes.size()) % pipeRecordSize, std::size_t{0});
    std::vector<Write> writes = writesIn(bytes);
    QCOMPARE(endsIdle(writes), idle);
    if (idle)
        writes.resize(writes.size() - 2);
    QVERIFY2(writes.size() >= 3 * port::pattern::writesPerCycle, "the sequencer ran three cycles first");
    // Each step whole and in order; an odd count ends in the data byte of
    // the step the step thread was writing when the crash came.
    QCOMPARE(firstStray(writes), -1L);
    if (stepWrites >= 0)
        QCOMPARE(writes.size(), std::size_t(stepWrites));
}

QTEST_GUILESS_MAIN(TestCrashGuard)
#include "tst_crashguard.moc"
