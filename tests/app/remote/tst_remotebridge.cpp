// Remote requests on the real window, through the register map and the
// bridge, asked from a thread of their own as the server asks them: what the
// window shows, what reached the port, the operator's switch and STOP, and
// the ways out that never wait for the window.
#include "app/remote/registermap.h"
#include "app/remote/remotebridge.h"
#include "app/window/filedialog.h"
#include "app/window/form1.h"
#include "app/window/runadapter.h"
#include "piperecord.h"
#include "port/backend/module1.h"
#include "port/record/recordedport.h"
#include "recordingmessagebox.h"
#include "recordingport.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <future>
#include <memory>
#include <thread>

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr int giveUpMilliseconds = 10000;

class NoFileDialog : public app::window::FileDialog {
public:
    QString saveFileName(const QString&, const QString&, const QString&) override { return {}; }
};

// The operating point of a 30 Hz run (380 V, 4 poles, 900 rpm, 7.6 V/Hz),
// then Required Voltage.
const Bytes thirtyHertz{16, 0, 0, 0, 5, 10, 0x0E, 0xD8, 0, 4, 0x03, 0x84, 0x02, 0xF8, 0, 1};
const Bytes run{6, 0, 4, 0, 2};
const Bytes stop{6, 0, 4, 0, 3};

std::vector<PipeWrite> writesOf(const RecordingPort& port)
{
    std::vector<PipeWrite> writes;
    for (const RecordingPort::Write& write : port.writes())
        writes.push_back({write.address, write.value});
    return writes;
}

}  // namespace

class TestRemoteBridge : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void operatingPointShowsInTheFields();
    void refusalSaidOnTheStripNotInABox();
    void runDrivesThePort();
    void remoteOffRefusesAndWritesNothing();
    void operatorStopWins();
    void stopWhileTheWindowIsStuck();
    void runWhileTheWindowIsStuckIsBusy();
    void communicationLossSaidOnTheStrip();

private:
    // Asks the map from a thread of its own, as the server does, while the
    // window's event loop runs.
    Bytes ask(const Bytes& request);
    QLineEdit* field(int number) const { return form_->findChild<QLineEdit*>(QStringLiteral("Text%1").arg(number)); }
    QCheckBox* remoteSwitch() const { return form_->findChild<QCheckBox*>(QStringLiteral("RemoteControl")); }
    bool idle() const { return runs_->state() == port::run::SequencerState::Idle; }

    RecordingMessageBox box_;
    NoFileDialog fileDialog_;
    std::unique_ptr<RecordingPort> port_;
    std::unique_ptr<port::record::RecordedPort> recorded_;
    std::unique_ptr<port::backend::Module1> module_;
    std::unique_ptr<app::window::Form1> form_;
    app::window::RunAdapter* runs_ = nullptr;
    std::unique_ptr<app::remote::RemoteBridge> bridge_;
    std::unique_ptr<app::remote::RegisterMap> map_;
};

void TestRemoteBridge::init()
{
    box_.shown.clear();
    port_ = std::make_unique<RecordingPort>();
    recorded_ = std::make_unique<port::record::RecordedPort>(*port_);
    module_ = std::make_unique<port::backend::Module1>(*recorded_);
    form_ = std::make_unique<app::window::Form1>(box_, fileDialog_, *module_, recorded_->record(),
                                                 QStringLiteral("Port: recording"));
    runs_ = form_->findChild<app::window::RunAdapter*>();
    bridge_ = std::make_unique<app::remote::RemoteBridge>(*form_, *runs_);
    map_ = std::make_unique<app::remote::RegisterMap>(*bridge_);
    form_->offerRemoteControl(QStringLiteral("127.0.0.1:1502"));
    form_->show();
    field(5)->setText(QStringLiteral("1500"));  // the operator's rated speed
    remoteSwitch()->click();
}

void TestRemoteBridge::cleanup()
{
    map_.reset();
    bridge_.reset();
    form_.reset();
    module_.reset();
    recorded_.reset();
    port_.reset();
}

Bytes TestRemoteBridge::ask(const Bytes& request)
{
    auto reply = std::async(std::launch::async, [&] { return map_->handle(request, 1, std::chrono::steady_clock::now()); });
    while (reply.wait_for(0ms) != std::future_status::ready)
        QTest::qWait(1);
    return reply.get();
}

void TestRemoteBridge::operatingPointShowsInTheFields()
{
    QCOMPARE(remoteSwitch()->text(), QStringLiteral("Remote control: on (127.0.0.1:1502)"));
    QCOMPARE(ask(thirtyHertz), (Bytes{16, 0, 0, 0, 5}));
    QCOMPARE(field(1)->text(), QStringLiteral("380"));
    QCOMPARE(field(6)->text(), QStringLiteral("4"));
    QCOMPARE(field(7)->text(), QStringLiteral("900"));
    QCOMPARE(field(8)->text(), QStringLiteral("7.6"));
    QCOMPARE(field(10)->text(), QStringLiteral("228"));
    // read back as the window holds them, and the required voltage
    QCOMPARE(ask({3, 0, 0, 0, 4}), (Bytes{3, 8, 0x0E, 0xD8, 0, 4, 0x03, 0x84, 0x02, 0xF8}));
    QCOMPARE(ask({4, 0, 9, 0, 3}), (Bytes{4, 6, 0x08, 0xE8, 0, 0, 0, 1}));
    QCOMPARE(box_.shown, QStringList());
}

// The speed check of a 4-pole motor refuses 1100 rpm: no box, the strip says
// so, the field keeps what it had, the refusal register names the check.
void TestRemoteBridge::refusalSaidOnTheStripNotInABox()
{
    ask(thirtyHertz);
    QCOMPARE(ask({6, 0, 2, 0x04, 0x4C}), (Bytes{0x86, 4}));
    QCOMPARE(field(7)->text(), QStringLiteral("900"));
    QCOMPARE(box_.shown, QStringList());
    QCOMPARE(form_->findChild<QLabel*>(QStringLiteral("RemoteNote"))->text(),
             QStringLiteral("Remote request refused: The speed value must be less than 1050"));
    QCOMPARE(ask({4, 0, 10, 0, 1}), (Bytes{4, 2, 0, static_cast<std::uint8_t>(app::remote::Refusal::FourPoleSpeed)}));
    // Required Voltage refused: the rating below the required voltage
    QCOMPARE(ask({16, 0, 0, 0, 5, 10, 0x08, 0x98, 0, 4, 0x03, 0x84, 0x02, 0xF8, 0, 1}), (Bytes{0x90, 4}));
    QCOMPARE(ask({4, 0, 10, 0, 1}),
             (Bytes{4, 2, 0, static_cast<std::uint8_t>(app::remote::Refusal::VoltageNotBelowRating)}));
    QCOMPARE(box_.shown, QStringList());
    // the operator's own typing still gets its box
    field(7)->setText(QStringLiteral("1100"));
    QCOMPARE(box_.shown.size(), 1);
}

void TestRemoteBridge::runDrivesThePort()
{
    ask(thirtyHertz);
    QCOMPARE(ask(run), run);
    QTRY_VERIFY_WITH_TIMEOUT(port_->size() >= 2 * port::pattern::writesPerCycle, giveUpMilliseconds);
    QCOMPARE(ask({4, 0, 0, 0, 5}), (Bytes{4, 10, 0, 1, 0, 0, 0x5D, 0x01, 0, 0, 0x0B, 0xB8}));
    QCOMPARE(ask(stop), stop);
    QTRY_VERIFY_WITH_TIMEOUT(idle(), giveUpMilliseconds);
    QCOMPARE(QString::fromStdString(wayOutFault(writesOf(*port_))), QString());
    QVERIFY(remoteSwitch()->isChecked());  // a remote STOP leaves the switch as it is
}

void TestRemoteBridge::remoteOffRefusesAndWritesNothing()
{
    remoteSwitch()->click();
    QCOMPARE(remoteSwitch()->text(), QStringLiteral("Remote control: off"));
    QCOMPARE(ask(thirtyHertz), (Bytes{0x90, 1}));
    QCOMPARE(ask(run), (Bytes{0x86, 1}));
    QCOMPARE(ask(stop), (Bytes{0x86, 1}));
    QCOMPARE(ask({4, 0, 11, 0, 1}), (Bytes{4, 2, 0, 0}));
    QTest::qWait(100);
    QCOMPARE(port_->size(), std::size_t(0));
    QCOMPARE(field(7)->text(), QString());
}

// The operator's STOP ends a remote run and takes remote control away until
// the operator gives it back.
void TestRemoteBridge::operatorStopWins()
{
    ask(thirtyHertz);
    ask(run);
    QTRY_VERIFY_WITH_TIMEOUT(port_->size() >= 2 * port::pattern::writesPerCycle, giveUpMilliseconds);
    QTest::mouseClick(form_->findChild<QPushButton*>(QStringLiteral("Command3")), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(idle(), giveUpMilliseconds);
    QVERIFY(!remoteSwitch()->isChecked());
    const std::size_t written = port_->size();
    QCOMPARE(ask(run), (Bytes{0x86, 1}));
    QTest::qWait(100);
    QCOMPARE(port_->size(), written);
    QCOMPARE(QString::fromStdString(wayOutFault(writesOf(*port_))), QString());
}

// The window's thread held (no event loop) while the client asks for STOP:
// the run ends all the same.
void TestRemoteBridge::stopWhileTheWindowIsStuck()
{
    ask(thirtyHertz);
    ask(run);
    QTRY_VERIFY_WITH_TIMEOUT(port_->size() >= 2 * port::pattern::writesPerCycle, giveUpMilliseconds);
    auto reply = std::async(std::launch::async, [&] { return map_->handle(stop, 1, std::chrono::steady_clock::now()); });
    QCOMPARE(reply.get(), stop);
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (!idle() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(1ms);
    QVERIFY(idle());
    QCOMPARE(QString::fromStdString(wayOutFault(writesOf(*port_))), QString());
}

// RUN asked while the window is held gets exception 6 and never runs later.
void TestRemoteBridge::runWhileTheWindowIsStuckIsBusy()
{
    ask(thirtyHertz);
    auto reply = std::async(std::launch::async, [&] { return map_->handle(run, 1, std::chrono::steady_clock::now()); });
    QCOMPARE(reply.get(), (Bytes{0x86, 6}));
    QTest::qWait(200);  // the window answers again
    QVERIFY(idle());
    QCOMPARE(port_->size(), std::size_t(0));
}

void TestRemoteBridge::communicationLossSaidOnTheStrip()
{
    ask(thirtyHertz);
    ask(run);
    QTRY_VERIFY_WITH_TIMEOUT(port_->size() >= 2 * port::pattern::writesPerCycle, giveUpMilliseconds);
    auto tripped = std::async(std::launch::async, [&] {
        return map_->watch(std::chrono::steady_clock::now() + app::remote::RegisterMap::defaultTimeout + 1ms);
    });
    while (tripped.wait_for(0ms) != std::future_status::ready)
        QTest::qWait(1);
    QTRY_VERIFY_WITH_TIMEOUT(idle(), giveUpMilliseconds);
    QTRY_VERIFY(form_->findChild<QLabel*>(QStringLiteral("RunState"))->text().startsWith(
        QStringLiteral("Stopped: the remote client sent nothing for 1")));
    QCOMPARE(ask({4, 0, 12, 0, 1}),
             (Bytes{4, 2, 0, static_cast<std::uint8_t>(port::run::RunEndCause::CommunicationLost)}));
    QCOMPARE(QString::fromStdString(wayOutFault(writesOf(*port_))), QString());
}

QTEST_MAIN(TestRemoteBridge)
#include "tst_remotebridge.moc"
