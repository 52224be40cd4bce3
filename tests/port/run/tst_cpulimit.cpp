// The kernel's real-time CPU limit: RLIMIT_RTTIME sends SIGKILL to a
// real-time thread that runs its hard limit without blocking, and nothing
// can then leave the port idle. cpulimittarget runs the real sequencer at
// full speed under a low limit: with its breaks it is never met; without
// them SIGXCPU at the soft limit ends the run with the idle pair, before the
// hard one.
#include "piperecord.h"
#include "port/run/sequencerstate.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTest>

namespace {

constexpr int longestRunMs = 60'000;
constexpr int skipStatus = 77;

}  // namespace

class TestCpuLimit : public QObject {
    Q_OBJECT

private slots:
    void runUnderALowLimit_data();
    void runUnderALowLimit();
};

void TestCpuLimit::runUnderALowLimit_data()
{
    QTest::addColumn<QString>("breaks");
    QTest::addColumn<int>("cause");
    // 50 ms hard (SIGKILL), 25 ms soft (SIGXCPU): RealtimeKit's 200 ms, shrunk
    // so that a thread that never blocks meets it at once.
    QTest::newRow("with breaks: 2 s at full speed, never met")
        << "breaks" << static_cast<int>(port::run::RunEndCause::None);
    // the kernel raises the soft limit by a second at each SIGXCPU
    QTest::newRow("without breaks: SIGXCPU ends each run before SIGKILL, run after run for 2 s")
        << "no-breaks" << static_cast<int>(port::run::RunEndCause::CpuLimit);
}

void TestCpuLimit::runUnderALowLimit()
{
    QFETCH(QString, breaks);
    QFETCH(int, cause);
    QProcess target;
    target.start(QStringLiteral(CPULIMITTARGET), {QStringLiteral("2"), QStringLiteral("50000"), breaks});
    QVERIFY2(target.waitForStarted(), qPrintable(target.errorString()));
    QVERIFY(target.waitForFinished(longestRunMs));
    const QString said = QString::fromLocal8Bit(target.readAllStandardError());
    if (target.exitStatus() == QProcess::NormalExit && target.exitCode() == skipStatus)
        QSKIP(qPrintable(said.trimmed()));
    QVERIFY2(target.exitStatus() == QProcess::NormalExit,
             qPrintable(QStringLiteral("ended by signal %1: %2").arg(target.exitCode()).arg(said)));
    QCOMPARE(target.exitCode(), 0);
    const qsizetype runs = said.count(QStringLiteral("cause="));
    QVERIFY2(runs > 0 && said.count(QRegularExpression(QStringLiteral("cause=%1 cycles=[1-9]").arg(cause))) == runs,
             qPrintable(said));

    const QByteArray bytes = target.readAllStandardOutput();
    QCOMPARE(runsFault(pipeWrites(bytes.constData(), static_cast<std::size_t>(bytes.size()))), std::string());
}

QTEST_GUILESS_MAIN(TestCpuLimit)
#include "tst_cpulimit.moc"
