// The RealtimeKit client against a stand-in service on a private bus, asked
// from a plain std::thread as the step thread asks: what reaches the service,
// what is granted, and what the operator is told when it refuses or is gone.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "app/platform/realtimekitclient.h"
#include "port/run/realtimepriority.h"

Q_DECLARE_METATYPE(port::run::PriorityClass)
Q_DECLARE_METATYPE(port::run::PriorityGrantor)

namespace {

constexpr int waitMs = 5000;
const QString serviceName = QStringLiteral("org.freedesktop.RealtimeKit1");

// A user without CAP_SYS_NICE and without an RLIMIT_RTPRIO rule: the kernel
// refuses, so the ladder goes on to RealtimeKit. RLIMIT_RTTIME is recorded,
// or set for real on this process when forwarding.
struct UnprivilegedKernel final : port::run::SchedulingSystem {
    bool forwardTimeLimit = false;
    QList<qint64> timeLimits;
    int locks = 0;

    int setFifo(int, int) noexcept override { return EPERM; }
    int realtimePriorityLimit() noexcept override { return 0; }
    int setRealtimeTimeLimit(std::int64_t microseconds) noexcept override
    {
        timeLimits << microseconds;
        return forwardTimeLimit ? port::run::linuxScheduling().setRealtimeTimeLimit(microseconds) : 0;
    }
    bool lockAllMemory() noexcept override
    {
        ++locks;
        return false;
    }
};

struct StepThreadAsked {
    port::run::PriorityGrant grant;
    int tid = 0;
};

// The ladder walked on a thread of its own, with no event loop, as the step
// thread walks it. Every D-Bus call is bounded by the client's timeout.
StepThreadAsked askFromStepThread(port::run::SchedulingSystem& system)
{
    StepThreadAsked asked;
    app::platform::RealtimeKitClient client;
    std::thread step([&] {
        asked.tid = static_cast<int>(gettid());
        asked.grant = port::run::requestRealtime(asked.tid, port::run::stepThreadPriority, system, &client);
    });
    step.join();
    return asked;
}

}  // namespace

class TestRealtimeKit : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void ladder_data();
    void ladder();
    void timeLimitSetOnTheProcess();
    void cleanup();
    void cleanupTestCase();

private:
    void startStandIn(const QStringList& args);
    void stopStandIn();
    QString standInLine();

    QTemporaryDir dir_;
    QProcess bus_;
    QProcess standIn_;
    rlimit savedRttime_{};
};

void TestRealtimeKit::initTestCase()
{
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (daemon.isEmpty())
        QSKIP("dbus-daemon is not installed: apt-get install dbus-daemon");
    QVERIFY(dir_.isValid());
    QVERIFY(getrlimit(RLIMIT_RTTIME, &savedRttime_) == 0);

    // A bus of this test's own: anyone may own any name and call anything.
    const QString config = dir_.filePath(QStringLiteral("bus.conf"));
    QFile file(config);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral(
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        "<busconfig>\n"
        "  <type>session</type>\n"
        "  <listen>unix:path=%1</listen>\n"
        "  <auth>EXTERNAL</auth>\n"
        "  <policy context=\"default\">\n"
        "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
        "    <allow eavesdrop=\"true\"/>\n"
        "    <allow own=\"*\"/>\n"
        "    <allow user=\"*\"/>\n"
        "  </policy>\n"
        "</busconfig>\n")
                   .arg(dir_.filePath(QStringLiteral("bus")))
                   .toUtf8());
    file.close();

    bus_.start(daemon, {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                        QStringLiteral("--print-address")});
    QVERIFY2(bus_.waitForStarted(waitMs), qPrintable(bus_.errorString()));
    while (!bus_.canReadLine())
        QVERIFY2(bus_.waitForReadyRead(waitMs),
                 qPrintable("dbus-daemon printed no address: " + bus_.readAllStandardError()));
    const QByteArray address = bus_.readLine().trimmed();
    QVERIFY2(address.startsWith("unix:"), address.constData());
    // Before anything in this process touches the system bus: the connection
    // is made once per process, at its first use.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
}

void TestRealtimeKit::ladder_data()
{
    QTest::addColumn<QStringList>("standInArgs");
    QTest::addColumn<bool>("standInGone");
    QTest::addColumn<port::run::PriorityClass>("priorityClass");
    QTest::addColumn<port::run::PriorityGrantor>("grantor");
    QTest::addColumn<int>("priority");
    QTest::addColumn<int>("askedPriority");  // 0: the service is never asked
    QTest::addColumn<QString>("refusalPart");

    using C = port::run::PriorityClass;
    using G = port::run::PriorityGrantor;
    QTest::newRow("maximum 20 grants 20")
        << QStringList{} << false << C::Realtime << G::RealtimeKit << 20 << 20 << QString();
    QTest::newRow("maximum 99 grants the wanted 40")
        << QStringList{"99"} << false << C::Realtime << G::RealtimeKit << 40 << 40 << QString();
    QTest::newRow("maximum 1 grants 1")
        << QStringList{"1"} << false << C::Realtime << G::RealtimeKit << 1 << 1 << QString();
    QTest::newRow("refuses")
        << QStringList{"--refuse"} << false << C::Normal << G::None << 0 << 20
        << "RealtimeKit: SCHED_RR 20 refused (org.freedesktop.DBus.Error.AccessDenied: "
           "stand-in refuses every thread; polkit lets RealtimeKit grant it only inside a local login session)";
    QTest::newRow("gone from the bus")
        << QStringList{} << true << C::Normal << G::None << 0 << 0
        << "RealtimeKit: not reachable (org.freedesktop.DBus.Error.ServiceUnknown";
}

void TestRealtimeKit::ladder()
{
    QFETCH(QStringList, standInArgs);
    QFETCH(bool, standInGone);
    QFETCH(port::run::PriorityClass, priorityClass);
    QFETCH(port::run::PriorityGrantor, grantor);
    QFETCH(int, priority);
    QFETCH(int, askedPriority);
    QFETCH(QString, refusalPart);

    startStandIn(standInArgs);
    if (standInGone)
        stopStandIn();
    UnprivilegedKernel kernel;

    const StepThreadAsked asked = askFromStepThread(kernel);

    QCOMPARE(asked.grant.priorityClass, priorityClass);
    QCOMPARE(asked.grant.grantor, grantor);
    QCOMPARE(asked.grant.priority, priority);
    const QString refusal = QString::fromStdString(asked.grant.refusal);
    if (refusalPart.isEmpty())
        QVERIFY2(refusal.isEmpty(), qPrintable(refusal));
    else
        QVERIFY2(refusal.contains(refusalPart), qPrintable(refusal));
    QCOMPARE(kernel.locks, priorityClass == port::run::PriorityClass::Realtime ? 1 : 0);
    if (askedPriority == 0) {
        QVERIFY(kernel.timeLimits.isEmpty());
        return;
    }
    // The step thread's own id, not the process's, must reach the service.
    QVERIFY(asked.tid != getpid());
    QCOMPARE(standInLine(), QStringLiteral("MakeThreadRealtimeWithPID %1 %2 %3")
                                .arg(getpid())
                                .arg(asked.tid)
                                .arg(askedPriority));
    QCOMPARE(kernel.timeLimits, QList<qint64>{200'000});
}

void TestRealtimeKit::timeLimitSetOnTheProcess()
{
    startStandIn({});
    UnprivilegedKernel kernel;
    kernel.forwardTimeLimit = true;

    const StepThreadAsked asked = askFromStepThread(kernel);

    QCOMPARE(asked.grant.grantor, port::run::PriorityGrantor::RealtimeKit);
    QCOMPARE(standInLine(), QStringLiteral("MakeThreadRealtimeWithPID %1 %2 20")
                                .arg(getpid())
                                .arg(asked.tid));
    rlimit limit{};
    QVERIFY(getrlimit(RLIMIT_RTTIME, &limit) == 0);
    // SIGKILL at RealtimeKit's maximum; SIGXCPU, which ends the run, with room before it.
    QCOMPARE(qulonglong(limit.rlim_cur), qulonglong(100'000));
    QCOMPARE(qulonglong(limit.rlim_max), qulonglong(200'000));
}

void TestRealtimeKit::cleanup()
{
    stopStandIn();
}

void TestRealtimeKit::cleanupTestCase()
{
    stopStandIn();
    if (bus_.state() != QProcess::NotRunning) {
        bus_.kill();
        bus_.waitForFinished(waitMs);
    }
    // Raising the hard limit again needs privilege; without it the lower one
    // stays, harmless to a test process with no real-time thread.
    setrlimit(RLIMIT_RTTIME, &savedRttime_);
}

void TestRealtimeKit::startStandIn(const QStringList& args)
{
    standIn_.start(QStringLiteral(RTKIT_STANDIN), args);
    QVERIFY2(standIn_.waitForStarted(waitMs), qPrintable(standIn_.errorString()));
    while (!standIn_.canReadLine())
        QVERIFY2(standIn_.waitForReadyRead(waitMs),
                 qPrintable("stand-in never ready: " + standIn_.readAllStandardError()));
    QCOMPARE(standIn_.readLine().trimmed(), QByteArray("ready"));
}

// Kills the stand-in and waits until the bus has let go of its name, so the
// next one can take it and a call meanwhile finds no owner.
void TestRealtimeKit::stopStandIn()
{
    if (standIn_.state() == QProcess::NotRunning)
        return;
    standIn_.kill();
    QVERIFY(standIn_.waitForFinished(waitMs));
    QDBusConnectionInterface* names = QDBusConnection::systemBus().interface();
    QVERIFY(names);
    QTRY_VERIFY_WITH_TIMEOUT(!names->isServiceRegistered(serviceName).value(), waitMs);
}

// The stand-in prints before it replies, so the line is already on its way.
QString TestRealtimeKit::standInLine()
{
    while (!standIn_.canReadLine())
        if (!standIn_.waitForReadyRead(waitMs))
            return QStringLiteral("(nothing from the stand-in: %1)")
                .arg(QString::fromLocal8Bit(standIn_.readAllStandardError()));
    return QString::fromLocal8Bit(standIn_.readLine().trimmed());
}

QTEST_GUILESS_MAIN(TestRealtimeKit)
#include "tst_realtimekit.moc"
