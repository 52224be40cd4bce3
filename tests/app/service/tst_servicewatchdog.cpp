// systemd's side: the notify datagram reaches a socket by path and by
// abstract name; the watchdog's evidence tells a step thread that waits for
// a long step, or for a run, from one that is stuck, and a loop that turns
// from one that does not, on times the test gives.
#include <QDir>
#include <QTest>

#include "app/service/servicenotifier.h"
#include "app/service/servicewatchdog.h"
#include "port/backend/module1.h"
#include "port/backend/simulatedport.h"
#include "port/record/writerecord.h"
#include "port/run/sequencer.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class TestServiceWatchdog : public QObject
{
    Q_OBJECT

private slots:
    void notify_data();
    void notify();
    void stepEvidence_data();
    void stepEvidence();
    void loopEvidence_data();
    void loopEvidence();
};

void TestServiceWatchdog::notify_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("a path") << QStringLiteral("%1/notify").arg(QDir::tempPath());
    QTest::newRow("an abstract name") << QStringLiteral("@fc-test-notify-%1").arg(::getpid());
}

void TestServiceWatchdog::notify()
{
    QFETCH(QString, name);
    const std::string path = name.toStdString();
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    if (path[0] == '@')
        address.sun_path[0] = '\0';
    else
        ::unlink(path.c_str());
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address),
                    offsetof(sockaddr_un, sun_path) + path.size() + (path[0] == '@' ? 0 : 1)), 0);

    const app::service::ServiceNotifier notifier(path);
    QVERIFY(notifier.ready("Idle; Modbus TCP on 127.0.0.1:1502, remote control on"));
    char received[256] = {};
    const ssize_t length = ::recv(fd, received, sizeof received, MSG_DONTWAIT);
    ::close(fd);
    if (path[0] != '@')
        ::unlink(path.c_str());
    QCOMPARE(QByteArray(received, int(length)),
             QByteArray("READY=1\nSTATUS=Idle; Modbus TCP on 127.0.0.1:1502, remote control on"));
}

void TestServiceWatchdog::stepEvidence_data()
{
    QTest::addColumn<bool>("running");
    QTest::addColumn<int>("laterSeconds");  // since the evidence first looked
    QTest::addColumn<bool>("alive");
    // A run of 60 s steps: the step thread sleeps through each.
    QTest::newRow("idle, an hour on")                  << false << 3600 << true;
    QTest::newRow("a run, within its step and grace")  << true  << 61   << true;
    QTest::newRow("a run, past its step and grace")    << true  << 63   << false;
}

void TestServiceWatchdog::stepEvidence()
{
    QFETCH(bool, running);
    QFETCH(int, laterSeconds);
    QFETCH(bool, alive);
    port::backend::SimulatedPort simulated;
    port::backend::Module1 module(simulated);
    const port::record::WriteRecord record;
    port::run::Sequencer sequencer(module, {});
    if (running) {
        QCOMPARE(sequencer.run(60s / port::pattern::passLength - 1).kind, port::run::RunAnswer::Kind::Started);
        QTest::qWait(200);  // the first step written, the thread asleep until its end
    }
    const app::service::Evidence evidence = app::service::stepProgress(sequencer, record);
    const Clock::time_point now = Clock::now();
    QCOMPARE(evidence(now), std::string());
    QCOMPARE(evidence(now + std::chrono::seconds(laterSeconds)).empty(), alive);
}

void TestServiceWatchdog::loopEvidence_data()
{
    QTest::addColumn<bool>("turning");
    QTest::addColumn<int>("laterMilliseconds");
    QTest::addColumn<bool>("alive");
    // A loop that comes round at least every second.
    QTest::newRow("still, within its period and grace")  << false << 2900 << true;
    QTest::newRow("still, past them")                     << false << 3100 << false;
    QTest::newRow("turning, long after")                  << true  << 60000 << true;
}

void TestServiceWatchdog::loopEvidence()
{
    QFETCH(bool, turning);
    QFETCH(int, laterMilliseconds);
    QFETCH(bool, alive);
    std::uint64_t turns = 0;
    const app::service::Evidence evidence = app::service::loopTurns(
        "the loop", [&] { return turning ? ++turns : turns; }, 1s);
    const Clock::time_point now = Clock::now();
    QCOMPARE(evidence(now), std::string());
    QCOMPARE(evidence(now + std::chrono::milliseconds(laterMilliseconds)).empty(), alive);
}

QTEST_GUILESS_MAIN(TestServiceWatchdog)
#include "tst_servicewatchdog.moc"
