// Remote control on the real window, over the real server on loopback, as an
// integrator's client sends it: what the window shows and the port takes,
// requests the window refuses changing nothing, a start that waits for the
// self-test, the operator's switch, and the window's thread held while the
// server goes on.
#include "app/remote/modbusserver.h"
#include "app/remote/registermap.h"
#include "app/remote/remoteconsole.h"
#include "app/remote/remoteswitch.h"
#include "app/remote/requestmessagebox.h"
#include "app/window/filedialog.h"
#include "app/window/form1.h"
#include "app/window/runadapter.h"
#include "loopbackmodbus.h"
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

#include <poll.h>

#include <memory>
#include <thread>

using namespace std::chrono_literals;
using Bytes = ModbusBytes;
using port::run::SequencerState;

Q_DECLARE_METATYPE(Bytes)

namespace {

constexpr int giveUpMilliseconds = 10000;

class NoFileDialog : public app::window::FileDialog {
public:
    QString saveFileName(const QString&, const QString&, const QString&) override { return {}; }
};

// RUN with the operating point of a 30 Hz run: 900 rpm, 380 V, 960 rpm
// rated, 4 poles, 7.6 V/Hz; and the communication-loss timeout.
Bytes runAtThirtyHertz(std::uint16_t timeout = 60000)
{
    return {16, 0, 0, 0, 7, 14, 0, 1, 0x03, 0x84, 0x0E, 0xD8, 0x03, 0xC0, 0, 4, 0x02, 0xF8,
            static_cast<std::uint8_t>(timeout >> 8), static_cast<std::uint8_t>(timeout)};
}
const Bytes stop{6, 0, 0, 0, 0};
const Bytes readStatus{3, 0, 100, 0, 1};

// What is wrong with the writes of the run that began at write from.
QString runFault(const RecordingPort& port, std::size_t from = 0)
{
    std::vector<PipeWrite> writes;
    for (const RecordingPort::Write& write : port.writes())
        writes.push_back({write.address, write.value});
    writes.erase(writes.begin(), writes.begin() + static_cast<std::ptrdiff_t>(std::min(from, writes.size())));
    return QString::fromStdString(wayOutFault(writes));
}

}  // namespace

class TestRemoteConsole : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void runAndStop();
    void refusedChangesNothing_data();
    void refusedChangesNothing();
    void startWaitingForTheSelfTest_data();
    void startWaitingForTheSelfTest();
    void operatorTurnsRemoteControlOff();
    void windowHeld();

private:
    int connectClient();
    // The reply to request from client fd; with events the window's event
    // loop runs meanwhile, otherwise the window's thread is held.
    Bytes ask(int fd, const Bytes& request, bool events = true);
    QLineEdit* field(int number) const { return form_->findChild<QLineEdit*>(QStringLiteral("Text%1").arg(number)); }
    QCheckBox* remoteSwitch() const { return form_->findChild<QCheckBox*>(QStringLiteral("RemoteControl")); }
    const port::run::Sequencer& sequencer() const { return runs_->control().sequencer(); }
    bool wroteCycles() const { return port_->size() >= 2 * port::pattern::writesPerCycle; }

    RecordingMessageBox box_;
    std::unique_ptr<app::remote::RequestMessageBox> requestBox_;
    NoFileDialog fileDialog_;
    std::unique_ptr<RecordingPort> port_;
    std::unique_ptr<port::record::RecordedPort> recorded_;
    std::unique_ptr<port::backend::Module1> module_;
    std::unique_ptr<app::window::Form1> form_;
    app::window::RunAdapter* runs_ = nullptr;
    std::unique_ptr<app::remote::RemoteConsole> console_;
    std::unique_ptr<app::remote::RegisterMap> map_;
    std::unique_ptr<app::remote::ModbusServer> server_;
    std::vector<int> fds_;
};

void TestRemoteConsole::init()
{
    box_.shown.clear();
    requestBox_ = std::make_unique<app::remote::RequestMessageBox>(box_);
    port_ = std::make_unique<RecordingPort>();
    recorded_ = std::make_unique<port::record::RecordedPort>(*port_);
    module_ = std::make_unique<port::backend::Module1>(*recorded_);
    form_ = std::make_unique<app::window::Form1>(*requestBox_, fileDialog_, *module_, recorded_->record(),
                                                 QStringLiteral("Port: recording"));
    form_->setSelfTestDuration(1s);
    runs_ = form_->findChild<app::window::RunAdapter*>();
    console_ = std::make_unique<app::remote::RemoteConsole>(form_->console(), *requestBox_);
    map_ = std::make_unique<app::remote::RegisterMap>(*console_, app::remote::Identity{"V", "P", "1"});
    server_ = std::make_unique<app::remote::ModbusServer>(*map_, *console_, app::remote::Endpoint{"127.0.0.1", 0});
    auto* row = new app::remote::RemoteSwitch(*console_);
    row->setWhere(QStringLiteral("127.0.0.1:1502"));
    form_->addStripRow(row, app::remote::RemoteSwitch::rowHeight);
    form_->show();
    remoteSwitch()->click();
}

void TestRemoteConsole::cleanup()
{
    for (const int fd : fds_)
        ::close(fd);
    fds_.clear();
    server_.reset();
    map_.reset();
    console_.reset();
    form_.reset();
    module_.reset();
    recorded_.reset();
    port_.reset();
}

int TestRemoteConsole::connectClient()
{
    fds_.push_back(connectToLoopback(server_->endpoint().port));
    return fds_.back();
}

Bytes TestRemoteConsole::ask(int fd, const Bytes& request, bool events)
{
    const Bytes frame = modbusFrame(request);
    if (send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()))
        return {};
    std::array<std::uint8_t, 300> reply{};
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(giveUpMilliseconds);
    while (std::chrono::steady_clock::now() < until) {
        if (events)
            QCoreApplication::processEvents();
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, 1) == 1) {
            const ssize_t got = recv(fd, reply.data(), reply.size(), 0);
            return got > 7 ? Bytes(reply.begin() + 7, reply.begin() + got) : Bytes{};
        }
    }
    return {};
}

void TestRemoteConsole::runAndStop()
{
    QCOMPARE(remoteSwitch()->text(), QStringLiteral("Remote control: on (127.0.0.1:1502)"));
    const int client = connectClient();
    QCOMPARE(ask(client, stop), stop);  // RUN 0: its first word is never a start
    QCOMPARE(ask(client, runAtThirtyHertz()), (Bytes{16, 0, 0, 0, 7}));
    QCOMPARE(field(7)->text(), QStringLiteral("900"));
    QCOMPARE(field(5)->text(), QStringLiteral("960"));
    QCOMPARE(field(10)->text(), QStringLiteral("228"));
    QCOMPARE(form_->printedLine(), QStringLiteral("23809"));
    QTRY_VERIFY(remoteSwitch()->text().startsWith(QStringLiteral("Remote control: on, controlled by 127.0.0.1:")));
    QTRY_VERIFY_WITH_TIMEOUT(wroteCycles(), giveUpMilliseconds);
    // running, remote control on, this connection in control
    const Bytes status = ask(client, readStatus);
    QCOMPARE((status[2] << 8 | status[3]) & 0x0142, 0x0142);
    QCOMPARE(ask(client, stop), stop);
    QTRY_COMPARE_WITH_TIMEOUT(sequencer().state(), SequencerState::Idle, giveUpMilliseconds);
    QCOMPARE(sequencer().endCause(), port::run::RunEndCause::None);
    QCOMPARE(runFault(*port_), QString());
    QCOMPARE(box_.shown, QStringList());
}

void TestRemoteConsole::refusedChangesNothing_data()
{
    QTest::addColumn<QString>("ratedSpeed");  // Text5 as the operator left it
    QTest::addColumn<Bytes>("request");
    QTest::addColumn<int>("refusal");
    QTest::addColumn<QString>("note");

    QTest::newRow("RUN with no rated speed")
        << "" << Bytes{16, 0, 0, 0, 2, 4, 0, 1, 0x03, 0x84} << int(app::remote::Refusal::AboveRatedSpeed)
        << "Remote request refused: The speed value must be less than or equale the rated";
    QTest::newRow("RUN: Required Voltage refused")
        << "960" << Bytes{16, 0, 0, 0, 3, 6, 0, 1, 0x03, 0x84, 0x07, 0xD0} << int(app::remote::Refusal::VoltageNotBelowRating)
        << "Remote request refused: Enter the correct value";
    QTest::newRow("the speed above the 4-pole limit")
        << "1500" << Bytes{6, 0, 1, 0x04, 0x4C} << int(app::remote::Refusal::FourPoleSpeed)
        << "Remote request refused: The speed value must be less than 1050";
}

// Nothing typed, nothing run, no step time stored, no box: the refusal is
// on the strip and in the refusal register.
void TestRemoteConsole::refusedChangesNothing()
{
    QFETCH(QString, ratedSpeed);
    QFETCH(Bytes, request);
    QFETCH(int, refusal);
    QFETCH(QString, note);
    for (const auto& [number, text] : {std::pair{1, "380"}, {6, "4"}, {7, "600"}, {8, "7.6"}})
        field(number)->setText(QString::fromLatin1(text));
    field(5)->setText(ratedSpeed);
    box_.shown.clear();  // what the operator's own typing met
    const drive::HeldValues held = form_->heldValues();
    const int client = connectClient();

    ask(client, stop);
    QCOMPARE(ask(client, request), (Bytes{static_cast<std::uint8_t>(request[0] | 0x80), 4}));
    QCOMPARE(ask(client, {4, 0, 6, 0, 1}), (Bytes{4, 2, 0, static_cast<std::uint8_t>(refusal)}));
    QCOMPARE(field(7)->text(), QStringLiteral("600"));
    QCOMPARE(field(1)->text(), QStringLiteral("380"));
    QCOMPARE(form_->heldValues().stepTime, held.stepTime);
    QCOMPARE(form_->findChild<QLabel*>(QStringLiteral("RemoteNote"))->text(), note);
    QCOMPARE(box_.shown, QStringList());
    QTest::qWait(50);
    QCOMPARE(port_->size(), std::size_t(0));
}

// RUN while the self-test measures starts once it has ended, and is watched
// all the same: a client that falls silent has its start called off, or its
// run ended at once when the watch runs out; a start that remote control
// switched off and on again called off never runs, its client gone or not.
void TestRemoteConsole::startWaitingForTheSelfTest_data()
{
    QTest::addColumn<int>("timeout");
    QTest::addColumn<bool>("switchedAndClosed");
    QTest::newRow("the client falls silent") << 100 << false;
    QTest::newRow("4: switched off and on, then the client closes") << 60000 << true;
}

void TestRemoteConsole::startWaitingForTheSelfTest()
{
    QFETCH(int, timeout);
    QFETCH(bool, switchedAndClosed);
    form_->findChild<QPushButton*>(QStringLiteral("TimingSelfTest"))->click();
    const int client = connectClient();
    ask(client, stop);
    QCOMPARE(ask(client, runAtThirtyHertz(static_cast<std::uint16_t>(timeout))), (Bytes{16, 0, 0, 0, 7}));
    if (switchedAndClosed) {
        remoteSwitch()->click();
        remoteSwitch()->click();
        ::close(client);
        fds_.clear();
    }
    QTRY_VERIFY_WITH_TIMEOUT(form_->findChild<QPushButton*>(QStringLiteral("TimingSelfTest"))->isEnabled(),
                             giveUpMilliseconds);
    QTest::qWait(200);  // a run that should not begin would have written by now
    QTRY_COMPARE_WITH_TIMEOUT(sequencer().state(), SequencerState::Idle, giveUpMilliseconds);
    if (port_->size() == 0)
        return;  // called off before it began: nothing was written
    QVERIFY2(!switchedAndClosed, "a start called off began");
    QCOMPARE(sequencer().endCause(), port::run::RunEndCause::CommunicationLost);
    QCOMPARE(runFault(*port_), QString());
}

// Off during a remote run, the run is the operator's: another client's STOP
// is refused, the client that started it may still stop it.
void TestRemoteConsole::operatorTurnsRemoteControlOff()
{
    const int controller = connectClient();
    const int other = connectClient();
    ask(controller, stop);
    ask(controller, runAtThirtyHertz());
    remoteSwitch()->click();
    QCOMPARE(form_->findChild<QLabel*>(QStringLiteral("RemoteNote"))->text(), QStringLiteral("The run is the operator's now"));
    QCOMPARE(ask(other, stop), (Bytes{0x86, 1}));
    QCOMPARE(ask(controller, {6, 0, 1, 0x03, 0x20}), (Bytes{0x86, 1}));
    QCOMPARE(sequencer().state(), SequencerState::Running);
    QCOMPARE(ask(controller, stop), stop);
    QTRY_COMPARE_WITH_TIMEOUT(sequencer().state(), SequencerState::Idle, giveUpMilliseconds);
    QCOMPARE(runFault(*port_), QString());
}

// The window's thread held for 5 s (its event loop does not run): reads are
// answered, a STOP ends the run, the watch ends a silent client's run before
// the window's own silence limit could, and a RUN the window never begins gets
// exception 6 and never runs.
void TestRemoteConsole::windowHeld()
{
    const int controller = connectClient();
    const int other = connectClient();
    ask(controller, stop);
    ask(controller, runAtThirtyHertz());
    auto heldUntil = std::chrono::steady_clock::now() + 5s;
    const auto untilIdle = [&] {
        while (sequencer().state() != SequencerState::Idle && std::chrono::steady_clock::now() < heldUntil)
            std::this_thread::sleep_for(1ms);
        return sequencer().state();
    };

    QCOMPARE(ask(other, readStatus, false)[3] & 0x02, 0x02);  // running
    QCOMPARE(ask(other, stop, false), stop);
    QCOMPARE(untilIdle(), SequencerState::Idle);
    QCOMPARE(sequencer().endCause(), port::run::RunEndCause::None);
    QCOMPARE(ask(controller, {6, 0, 0, 0, 0}, false), (Bytes{6, 0, 0, 0, 0}));
    QCOMPARE(ask(controller, {6, 0, 0, 0, 1}, false), (Bytes{0x86, 6}));  // RUN: never ran
    while (std::chrono::steady_clock::now() < heldUntil)
        QCOMPARE(ask(other, readStatus, false).size(), std::size_t(4));
    QTest::qWait(100);  // the window answers again, and runs nothing
    QCOMPARE(sequencer().state(), SequencerState::Idle);
    QCOMPARE(runFault(*port_), QString());
    const std::size_t firstRun = port_->size();

    // A run whose client falls silent while the window is held: the watch
    // (100 ms) ends it long before the window's own silence limit (2 s).
    ask(controller, {6, 0, 0, 0, 0});
    ask(controller, runAtThirtyHertz(100));
    heldUntil = std::chrono::steady_clock::now() + 5s;
    QCOMPARE(untilIdle(), SequencerState::Idle);
    QCOMPARE(sequencer().endCause(), port::run::RunEndCause::CommunicationLost);
    QCOMPARE(runFault(*port_, firstRun), QString());

    // The trip is on the switch's row until the operator clears it there.
    auto* clear = form_->findChild<QPushButton*>(QStringLiteral("ClearTrip"));
    QTRY_VERIFY_WITH_TIMEOUT(clear->isVisible(), giveUpMilliseconds);
    QVERIFY(ask(other, readStatus)[3] & 0x08);
    QTest::mouseClick(clear, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(ask(other, readStatus)[3] & 0x08, 0, giveUpMilliseconds);
}

QTEST_MAIN(TestRemoteConsole)
#include "tst_remoteconsole.moc"
