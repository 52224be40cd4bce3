// The step CPU among programs: the rule against scripted claims, and real
// claims made by child processes, which see each other and vanish with them.
#include <QTest>

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "port/run/threadpinning.h"

using Cpus = QList<int>;

namespace {

cpu_set_t cpuSet(const Cpus& cpus)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    for (const int cpu : cpus)
        CPU_SET(cpu, &set);
    return set;
}

// The CPUs this test may run on, highest first.
Cpus allowedCpus()
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    sched_getaffinity(0, sizeof allowed, &allowed);
    Cpus cpus;
    for (int cpu = CPU_SETSIZE - 1; cpu >= 0; --cpu)
        if (CPU_ISSET(cpu, &allowed))
            cpus << cpu;
    return cpus;
}

// A name of this test's own, so that programs and other tests running
// meanwhile neither see these claims nor spoil them.
std::string claimName()
{
    static int made = 0;
    return "frequency-converter-step-cpu-test-" + std::to_string(getpid()) + "-" + std::to_string(++made) + "-";
}

// Another program: a child process that claims a step CPU under name and
// holds it until it is killed.
class Claimant
{
public:
    explicit Claimant(const std::string& name)
    {
        int report[2];
        if (pipe(report) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            close(report[0]);
            port::run::reserveStepCpu(name);
            const port::run::StepCpuClaim claim = port::run::stepCpuClaim();
            if (write(report[1], &claim, sizeof claim) != static_cast<ssize_t>(sizeof claim))
                _exit(1);
            for (;;)
                pause();
        }
        close(report[1]);
        report_ = report[0];
    }
    ~Claimant()
    {
        end();
        if (report_ >= 0)
            close(report_);
    }

    pid_t pid() const { return pid_; }

    // What it claimed; cpu -2 when it said nothing within a generous while.
    port::run::StepCpuClaim claim() const
    {
        port::run::StepCpuClaim claim;
        claim.cpu = -2;
        pollfd ready{report_, POLLIN, 0};
        if (poll(&ready, 1, 30'000) == 1 && read(report_, &claim, sizeof claim) != static_cast<ssize_t>(sizeof claim))
            claim.cpu = -2;
        return claim;
    }

    // As the OOM killer or kill -9 would: nothing of it runs any more.
    void end()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int report_ = -1;
};

} // namespace

class TestThreadPinning : public QObject
{
    Q_OBJECT

private slots:
    void choice_data();
    void choice();

    void claimsSeeEachOther();
    void claimEndsWithItsProcess();
};

// ---- the rule

void TestThreadPinning::choice_data()
{
    QTest::addColumn<Cpus>("allowed");
    QTest::addColumn<Cpus>("claimed");
    QTest::addColumn<int>("cpu");
    QTest::addColumn<bool>("shared");
    QTest::newRow("two CPUs, none claimed")           << Cpus{0, 1} << Cpus{} << 1 << false;
    QTest::newRow("two CPUs, the highest claimed")    << Cpus{0, 1} << Cpus{1} << 1 << true;
    // Taking the last free CPU would leave none for the desktop: share.
    QTest::newRow("two CPUs, the lowest claimed")     << Cpus{0, 1} << Cpus{0} << 0 << true;
    QTest::newRow("four CPUs, the highest claimed")   << Cpus{0, 1, 2, 3} << Cpus{3} << 2 << false;
    QTest::newRow("four CPUs, a free one between")    << Cpus{0, 1, 2, 3} << Cpus{3, 1} << 2 << false;
    QTest::newRow("four CPUs, one left")              << Cpus{0, 1, 2, 3} << Cpus{1, 2, 3} << 3 << true;
    QTest::newRow("four CPUs, all claimed")           << Cpus{0, 1, 2, 3} << Cpus{0, 1, 2, 3} << 3 << true;
    QTest::newRow("claims outside the allowed CPUs")  << Cpus{4, 5} << Cpus{6, 7} << 5 << false;
}

void TestThreadPinning::choice()
{
    QFETCH(Cpus, allowed);
    QFETCH(Cpus, claimed);
    const port::run::StepCpuChoice choice = port::run::chooseStepCpu(cpuSet(allowed), cpuSet(claimed));
    QTEST(choice.cpu, "cpu");
    QTEST(choice.shared, "shared");
}

// ---- claims between processes

// The second program sees the first one's claim: with two CPUs it shares the
// first one's step CPU and knows with whom, with more it takes the next one.
void TestThreadPinning::claimsSeeEachOther()
{
    const Cpus cpus = allowedCpus();
    if (cpus.size() < 2)
        QSKIP("one CPU: no step CPU is reserved");
    const std::string name = claimName();
    Claimant first(name);
    const port::run::StepCpuClaim firstClaim = first.claim();
    Claimant second(name);
    const port::run::StepCpuClaim secondClaim = second.claim();

    QCOMPARE(firstClaim.cpu, cpus[0]);
    QVERIFY(!firstClaim.shared);
    if (cpus.size() == 2) {
        QCOMPARE(secondClaim.cpu, cpus[0]);
        QVERIFY(secondClaim.shared);
        QCOMPARE(secondClaim.sharedWithPid, first.pid());
    } else {
        QCOMPARE(secondClaim.cpu, cpus[1]);
        QVERIFY(!secondClaim.shared);
    }
}

void TestThreadPinning::claimEndsWithItsProcess()
{
    const Cpus cpus = allowedCpus();
    if (cpus.size() < 2)
        QSKIP("one CPU: no step CPU is reserved");
    const std::string name = claimName();
    Claimant first(name);
    QCOMPARE(first.claim().cpu, cpus[0]);
    first.end();

    Claimant second(name);
    const port::run::StepCpuClaim claim = second.claim();
    QCOMPARE(claim.cpu, cpus[0]);
    QVERIFY(!claim.shared);
}

QTEST_APPLESS_MAIN(TestThreadPinning)
#include "tst_threadpinning.moc"
