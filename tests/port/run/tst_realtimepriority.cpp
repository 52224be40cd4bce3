// The real-time ladder walked through a scripted kernel and RealtimeKit: which
// rung grants, in what order the calls are made, and what the operator is told
// when none does; and the kernel calls themselves where no privilege is needed.
#include <QTest>

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "port/run/realtimepriority.h"

Q_DECLARE_METATYPE(port::run::PriorityClass)
Q_DECLARE_METATYPE(port::run::PriorityGrantor)

namespace {

constexpr int stepTid = 4321;
constexpr std::int64_t rtTimeUSecMax = 200'000;

// Every call of the kernel and of RealtimeKit lands in one log, so the order
// between the two is checked too.
struct Kernel final : port::run::SchedulingSystem {
    QStringList& log;
    int directError = 0;
    int limit = 0;
    int clampedError = 0;
    int timeError = 0;
    bool lockSucceeds = true;
    int wanted = 0;

    explicit Kernel(QStringList& log) : log(log) {}

    int setFifo(int tid, int priority) noexcept override
    {
        log << QStringLiteral("setFifo %1 %2").arg(tid).arg(priority);
        return priority == wanted ? directError : clampedError;
    }
    int realtimePriorityLimit() noexcept override
    {
        log << QStringLiteral("realtimePriorityLimit");
        return limit;
    }
    int setRealtimeTimeLimit(std::int64_t microseconds) noexcept override
    {
        log << QStringLiteral("setRealtimeTimeLimit %1").arg(microseconds);
        return timeError;
    }
    bool lockAllMemory() noexcept override
    {
        log << QStringLiteral("lockAllMemory");
        return lockSucceeds;
    }
};

struct Kit final : port::run::RealtimeKit {
    QStringList& log;
    bool reachable = true;
    bool grants = true;
    int maxPriority = 20;

    explicit Kit(QStringList& log) : log(log) {}

    bool limits(Limits& limits, std::string& why) override
    {
        log << QStringLiteral("limits");
        if (!reachable) {
            why = "not reachable (org.freedesktop.DBus.Error.ServiceUnknown: no owner)";
            return false;
        }
        limits.maxRealtimePriority = maxPriority;
        limits.rtTimeUSecMax = rtTimeUSecMax;
        return true;
    }
    bool makeThreadRealtime(std::uint64_t pid, std::uint64_t tid, std::uint32_t priority,
                            std::string& why) override
    {
        log << QStringLiteral("makeThreadRealtime %1 %2 %3").arg(pid).arg(tid).arg(priority);
        if (grants)
            return true;
        why = "org.freedesktop.DBus.Error.AccessDenied: not for this user";
        return false;
    }
};

enum class KitState { None, Unreachable, Granting, Refusing };

// The calls a row expects, with PID standing for this process's id.
QStringList calls(std::initializer_list<QString> list)
{
    QStringList out;
    for (QString call : list)
        out << call.replace(QStringLiteral("PID"), QString::number(getpid()));
    return out;
}

}  // namespace

Q_DECLARE_METATYPE(KitState)

class TestRealtimePriority : public QObject
{
    Q_OBJECT

private slots:
    void ladder_data();
    void ladder();

    void fifoRefusedWithErrno_data();
    void fifoRefusedWithErrno();
    void priorityLimitIsTheSoftLimit_data();
    void priorityLimitIsTheSoftLimit();
    void timeLimitKeepsWithinTheHardLimit_data();
    void timeLimitKeepsWithinTheHardLimit();
    void cleanupTestCase();

private:
    rlimit savedRtprio_{};
    rlimit savedRttime_{};
    bool saved_ = false;
    void saveLimits();
};

void TestRealtimePriority::ladder_data()
{
    QTest::addColumn<int>("directError");
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("clampedError");
    QTest::addColumn<int>("timeError");
    QTest::addColumn<KitState>("kit");
    QTest::addColumn<int>("kitMax");
    QTest::addColumn<bool>("lockSucceeds");
    QTest::addColumn<port::run::PriorityClass>("priorityClass");
    QTest::addColumn<port::run::PriorityGrantor>("grantor");
    QTest::addColumn<int>("priority");
    QTest::addColumn<bool>("memoryLocked");
    QTest::addColumn<QStringList>("expectedCalls");
    QTest::addColumn<QStringList>("refusalParts");

    using C = port::run::PriorityClass;
    using G = port::run::PriorityGrantor;
    const QStringList granted;  // no refusal at all
    const QString remedy = QStringLiteral("grant group lp real-time priority, see README");

    // the kernel's rungs
    QTest::newRow("kernel grants the wanted priority")
        << 0 << 0 << 0 << 0 << KitState::Granting << 20 << true
        << C::Realtime << G::Kernel << 40 << true
        << calls({"setFifo 4321 40", "setRealtimeTimeLimit -1", "lockAllMemory"}) << granted;
    QTest::newRow("kernel refuses 40, grants RLIMIT_RTPRIO 20")
        << EPERM << 20 << 0 << 0 << KitState::Granting << 20 << true
        << C::Realtime << G::Kernel << 20 << true
        << calls({"setFifo 4321 40", "realtimePriorityLimit", "setFifo 4321 20", "setRealtimeTimeLimit -1", "lockAllMemory"})
        << granted;
    QTest::newRow("RLIMIT_RTPRIO 39, one below wanted, is tried")
        << EPERM << 39 << 0 << 0 << KitState::None << 0 << true
        << C::Realtime << G::Kernel << 39 << true
        << calls({"setFifo 4321 40", "realtimePriorityLimit", "setFifo 4321 39", "setRealtimeTimeLimit -1", "lockAllMemory"})
        << granted;
    QTest::newRow("RLIMIT_RTPRIO equal to wanted is not tried again")
        << EPERM << 40 << 0 << 0 << KitState::None << 0 << true
        << C::Normal << G::None << 0 << false
        << calls({"setFifo 4321 40", "realtimePriorityLimit"})
        << QStringList{"SCHED_FIFO 40 refused (Operation not permitted; RLIMIT_RTPRIO 40)",
                       "RealtimeKit: not asked", remedy};
    QTest::newRow("unlimited RLIMIT_RTPRIO is not tried again")
        << EPERM << -1 << 0 << 0 << KitState::None << 0 << true
        << C::Normal << G::None << 0 << false
        << calls({"setFifo 4321 40", "realtimePriorityLimit"})
        << QStringList{"RLIMIT_RTPRIO unlimited", "RealtimeKit: not asked", remedy};
    QTest::newRow("kernel refuses memory lock, still real-time")
        << 0 << 0 << 0 << 0 << KitState::None << 0 << false
        << C::Realtime << G::Kernel << 40 << false
        << calls({"setFifo 4321 40", "setRealtimeTimeLimit -1", "lockAllMemory"}) << granted;

    // RealtimeKit's rung
    QTest::newRow("RealtimeKit grants its maximum 20 after both kernel refusals")
        << EPERM << 20 << EPERM << 0 << KitState::Granting << 20 << true
        << C::Realtime << G::RealtimeKit << 20 << true
        << calls({"setFifo 4321 40", "realtimePriorityLimit", "setFifo 4321 20", "limits",
                  "setRealtimeTimeLimit 200000", "makeThreadRealtime PID 4321 20", "lockAllMemory"})
        << granted;
    QTest::newRow("RealtimeKit grants wanted 40 below its maximum 99")
        << EPERM << 0 << 0 << 0 << KitState::Granting << 99 << true
        << C::Realtime << G::RealtimeKit << 40 << true
        << calls({"setFifo 4321 40", "realtimePriorityLimit", "limits",
                  "setRealtimeTimeLimit 200000", "makeThreadRealtime PID 4321 40", "lockAllMemory"})
        << granted;
    QTest::newRow("RealtimeKit maximum 1 still grants")
        << EPERM << 0 << 0 << 0 << KitState::Granting << 1 << false
        << C::Realtime << G::RealtimeKit << 1 << false
        << calls({"setFifo 4321 40", "realtimePriorityLimit", "limits",
                  "setRealtimeTimeLimit 200000", "makeThreadRealtime PID 4321 1", "lockAllMemory"})
        << granted;

    // nothing granted
    QTest::newRow("RealtimeKit unreachable")
        << EPERM << 0 << 0 << 0 << KitState::Unreachable << 0 << true
        << C::Normal << G::None << 0 << false
        << calls({"setFifo 4321 40", "realtimePriorityLimit", "limits"})
        << QStringList{"SCHED_FIFO 40 refused (Operation not permitted: no CAP_SYS_NICE and "
                       "RLIMIT_RTPRIO 0)",
                       "RealtimeKit: not reachable (org.freedesktop.DBus.Error.ServiceUnknown",
                       remedy};
    QTest::newRow("RealtimeKit refuses")
        << EPERM << 0 << 0 << 0 << KitState::Refusing << 20 << true
        << C::Normal << G::None << 0 << false
        << calls({"setFifo 4321 40", "realtimePriorityLimit", "limits",
                  "setRealtimeTimeLimit 200000", "makeThreadRealtime PID 4321 20"})
        << QStringList{"RealtimeKit: SCHED_RR 20 refused (org.freedesktop.DBus.Error.AccessDenied",
                       remedy};
    QTest::newRow("RealtimeKit maximum 0 is not asked")
        << EPERM << 0 << 0 << 0 << KitState::Granting << 0 << true
        << C::Normal << G::None << 0 << false
        << calls({"setFifo 4321 40", "realtimePriorityLimit", "limits"})
        << QStringList{"RealtimeKit: MaxRealtimePriority 0", remedy};
    QTest::newRow("RLIMIT_RTTIME not set, RealtimeKit not asked")
        << EPERM << 0 << 0 << EPERM << KitState::Granting << 20 << true
        << C::Normal << G::None << 0 << false
        << calls({"setFifo 4321 40", "realtimePriorityLimit", "limits",
                  "setRealtimeTimeLimit 200000"})
        << QStringList{"RealtimeKit: RLIMIT_RTTIME 200000 us not set (Operation not permitted)",
                       remedy};
    QTest::newRow("clamped refusal and no RealtimeKit both named")
        << EPERM << 20 << EAGAIN << 0 << KitState::None << 0 << true
        << C::Normal << G::None << 0 << false
        << calls({"setFifo 4321 40", "realtimePriorityLimit", "setFifo 4321 20"})
        << QStringList{"no CAP_SYS_NICE and RLIMIT_RTPRIO 20",
                       "SCHED_FIFO 20 within it refused (Resource temporarily unavailable)",
                       "RealtimeKit: not asked", remedy};
}

void TestRealtimePriority::ladder()
{
    QFETCH(int, directError);
    QFETCH(int, limit);
    QFETCH(int, clampedError);
    QFETCH(int, timeError);
    QFETCH(KitState, kit);
    QFETCH(int, kitMax);
    QFETCH(bool, lockSucceeds);
    QFETCH(port::run::PriorityClass, priorityClass);
    QFETCH(port::run::PriorityGrantor, grantor);
    QFETCH(int, priority);
    QFETCH(bool, memoryLocked);
    QFETCH(QStringList, expectedCalls);
    QFETCH(QStringList, refusalParts);

    QStringList log;
    Kernel kernel(log);
    kernel.wanted = port::run::stepThreadPriority;
    kernel.directError = directError;
    kernel.limit = limit;
    kernel.clampedError = clampedError;
    kernel.timeError = timeError;
    kernel.lockSucceeds = lockSucceeds;
    Kit realtimeKit(log);
    realtimeKit.reachable = kit != KitState::Unreachable;
    realtimeKit.grants = kit != KitState::Refusing;
    realtimeKit.maxPriority = kitMax;

    const port::run::PriorityGrant grant = port::run::requestRealtime(
        stepTid, port::run::stepThreadPriority, kernel, kit == KitState::None ? nullptr : &realtimeKit);

    QCOMPARE(log, expectedCalls);
    QCOMPARE(grant.priorityClass, priorityClass);
    QCOMPARE(grant.grantor, grantor);
    QCOMPARE(grant.priority, priority);
    QCOMPARE(grant.memoryLocked, memoryLocked);
    const QString refusal = QString::fromStdString(grant.refusal);
    if (refusalParts.isEmpty())
        QVERIFY2(refusal.isEmpty(), qPrintable(refusal));
    for (const QString& part : refusalParts)
        QVERIFY2(refusal.contains(part), qPrintable(refusal));
    QVERIFY2(!refusal.contains(QLatin1Char('\n')), qPrintable(refusal));
}

// The real kernel: only calls that fail, or that need no privilege, so the
// test process never becomes real-time.
void TestRealtimePriority::fifoRefusedWithErrno_data()
{
    QTest::addColumn<int>("tid");
    QTest::addColumn<int>("priority");
    QTest::addColumn<int>("error");

    const int self = static_cast<int>(gettid());
    QTest::newRow("priority 0 is not real-time") << self << 0 << EINVAL;
    QTest::newRow("priority 100 is above SCHED_FIFO's 99") << self << 100 << EINVAL;
    // pid_max is at most 2^22, so this thread id cannot exist.
    QTest::newRow("no such thread") << (1 << 30) << 40 << ESRCH;
}

void TestRealtimePriority::fifoRefusedWithErrno()
{
    QFETCH(int, tid);
    QFETCH(int, priority);
    QFETCH(int, error);

    QCOMPARE(port::run::linuxScheduling().setFifo(tid, priority), error);
    QCOMPARE(sched_getscheduler(0), SCHED_OTHER);
}

void TestRealtimePriority::saveLimits()
{
    if (saved_)
        return;
    QVERIFY(getrlimit(RLIMIT_RTPRIO, &savedRtprio_) == 0);
    QVERIFY(getrlimit(RLIMIT_RTTIME, &savedRttime_) == 0);
    saved_ = true;
}

void TestRealtimePriority::priorityLimitIsTheSoftLimit_data()
{
    QTest::addColumn<qulonglong>("soft");
    QTest::addColumn<int>("limit");

    QTest::newRow("none") << qulonglong(0) << 0;
    QTest::newRow("one") << qulonglong(1) << 1;
    QTest::newRow("twenty") << qulonglong(20) << 20;
    QTest::newRow("unlimited") << qulonglong(RLIM_INFINITY) << -1;
}

void TestRealtimePriority::priorityLimitIsTheSoftLimit()
{
    QFETCH(qulonglong, soft);
    QFETCH(int, limit);
    saveLimits();

    rlimit wanted = savedRtprio_;
    wanted.rlim_cur = soft;
    if (savedRtprio_.rlim_max != RLIM_INFINITY && savedRtprio_.rlim_max < soft)
        QSKIP("the hard RLIMIT_RTPRIO of this session is below the soft limit to set");
    QVERIFY(setrlimit(RLIMIT_RTPRIO, &wanted) == 0);
    QCOMPARE(port::run::linuxScheduling().realtimePriorityLimit(), limit);
}

void TestRealtimePriority::timeLimitKeepsWithinTheHardLimit_data()
{
    QTest::addColumn<qulonglong>("soft");
    QTest::addColumn<qulonglong>("hard");
    QTest::addColumn<qint64>("asked");
    QTest::addColumn<qulonglong>("softSet");
    QTest::addColumn<qulonglong>("hardSet");

    const auto keep = qint64(port::run::SchedulingSystem::keepHardLimit);
    const auto unlimited = qulonglong(RLIM_INFINITY);
    // Each row starts from a hard limit at or below the one the row before
    // left: raising it needs privilege. SIGKILL comes at the hard limit, so
    // the soft one (SIGXCPU, which ends the run) always leaves room below it.
    QTest::newRow("unlimited, kept: nothing to leave room under")
        << unlimited << unlimited << keep << unlimited << unlimited;
    QTest::newRow("unlimited hard limit takes the asked one")
        << unlimited << unlimited << qint64(400'000) << qulonglong(200'000) << qulonglong(400'000);
    QTest::newRow("below the hard limit")
        << qulonglong(300'000) << qulonglong(300'000) << qint64(200'000) << qulonglong(100'000)
        << qulonglong(200'000);
    QTest::newRow("equal to the hard limit")
        << qulonglong(200'000) << qulonglong(200'000) << qint64(200'000) << qulonglong(100'000)
        << qulonglong(200'000);
    QTest::newRow("above the hard limit takes it")
        << qulonglong(100'000) << qulonglong(100'000) << qint64(200'000) << qulonglong(50'000)
        << qulonglong(100'000);
    QTest::newRow("soft equal to hard from outside (prlimit), kept")
        << qulonglong(100'000) << qulonglong(100'000) << keep << qulonglong(50'000) << qulonglong(100'000);
    QTest::newRow("a lower soft limit from outside stays")
        << qulonglong(10'000) << qulonglong(100'000) << keep << qulonglong(10'000) << qulonglong(100'000);
}

void TestRealtimePriority::timeLimitKeepsWithinTheHardLimit()
{
    QFETCH(qulonglong, soft);
    QFETCH(qulonglong, hard);
    QFETCH(qint64, asked);
    QFETCH(qulonglong, softSet);
    QFETCH(qulonglong, hardSet);
    saveLimits();

    const rlimit start{soft, hard};
    if (setrlimit(RLIMIT_RTTIME, &start) != 0)
        QSKIP("the hard RLIMIT_RTTIME cannot be raised without privilege");
    QCOMPARE(port::run::linuxScheduling().setRealtimeTimeLimit(asked), 0);
    rlimit now{};
    QVERIFY(getrlimit(RLIMIT_RTTIME, &now) == 0);
    QCOMPARE(qulonglong(now.rlim_cur), softSet);
    QCOMPARE(qulonglong(now.rlim_max), hardSet);
}

void TestRealtimePriority::cleanupTestCase()
{
    // Raising a hard limit again works only with privilege; without it the
    // lower limits stay, harmless for a test process with no real-time thread.
    if (saved_) {
        setrlimit(RLIMIT_RTPRIO, &savedRtprio_);
        setrlimit(RLIMIT_RTTIME, &savedRttime_);
    }
}

QTEST_GUILESS_MAIN(TestRealtimePriority)
#include "tst_realtimepriority.moc"
