// The timing line as the strip and the self-test say it: the priority the
// step thread was granted, and whether a run's steps leave time to sleep.
#include <QTest>

#include "app/text/timingtext.h"

Q_DECLARE_METATYPE(port::run::PriorityGrantor)

class TestTimingText : public QObject
{
    Q_OBJECT

private slots:
    void timingText_data();
    void timingText();
};

void TestTimingText::timingText_data()
{
    using G = port::run::PriorityGrantor;
    QTest::addColumn<bool>("known");
    QTest::addColumn<G>("grantor");  // None: normal priority
    QTest::addColumn<int>("priority");
    QTest::addColumn<int>("sleeping");  // -1: no run alive
    QTest::addColumn<QString>("text");
    QTest::newRow("not yet set up") << false << G::None << 0 << -1 << "Timing: setting up the step thread";
    QTest::newRow("kernel, idle") << true << G::Kernel << 40 << -1 << "Timing: real-time (SCHED_FIFO 40)";
    QTest::newRow("kernel, sleeping") << true << G::Kernel << 40 << 1
                                      << "Timing: real-time (SCHED_FIFO 40), sleeping between steps";
    QTest::newRow("RealtimeKit within its maximum, spinning")
        << true << G::RealtimeKit << 20 << 0
        << "Timing: real-time (SCHED_RR 20, RealtimeKit), spinning: steps too short to sleep";
    QTest::newRow("normal, whatever the run does")
        << true << G::None << 0 << 1
        << "Timing: normal priority — other programs can delay the steps (see README, Real-time priority)";
}

void TestTimingText::timingText()
{
    QFETCH(bool, known);
    QFETCH(port::run::PriorityGrantor, grantor);
    QFETCH(int, priority);
    QFETCH(int, sleeping);
    port::run::TimingMode mode;
    mode.known = known;
    if (sleeping >= 0)
        mode.sleeping = sleeping == 1;
    mode.grant.grantor = grantor;
    if (grantor != port::run::PriorityGrantor::None) {
        mode.grant.priorityClass = port::run::PriorityClass::Realtime;
        mode.grant.priority = priority;
    }
    QTEST(app::text::timingText(mode), "text");
}

QTEST_GUILESS_MAIN(TestTimingText)
#include "tst_timingtext.moc"
