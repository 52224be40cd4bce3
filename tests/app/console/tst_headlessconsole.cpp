// The console with no widget at all: a QCoreApplication, the operator's
// console, and remote control over the real server on loopback, carrying out
// a client's RUN (Required Voltage, then RUN) and its STOP on a recording port.
#include "app/console/operatorconsole.h"
#include "app/console/runadapter.h"
#include "app/remote/modbusserver.h"
#include "app/remote/registermap.h"
#include "app/remote/remoteconsole.h"
#include "app/remote/requestmessagebox.h"
#include "loopbackmodbus.h"
#include "piperecord.h"
#include "port/backend/module1.h"
#include "port/record/recordedport.h"
#include "recordingmessagebox.h"
#include "recordingport.h"

#include <QFile>
#include <QTest>

#include <poll.h>

namespace {

// The reply to request, the event loop running meanwhile.
ModbusBytes ask(int fd, const ModbusBytes& request)
{
    const ModbusBytes frame = modbusFrame(request);
    if (send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()))
        return {};
    std::array<std::uint8_t, 300> reply{};
    for (int wait = 0; wait < 10000; ++wait) {
        QCoreApplication::processEvents();
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, 1) == 1) {
            const ssize_t got = recv(fd, reply.data(), reply.size(), 0);
            return got > 7 ? ModbusBytes(reply.begin() + 7, reply.begin() + got) : ModbusBytes{};
        }
    }
    return {};
}

}  // namespace

class TestHeadlessConsole : public QObject {
    Q_OBJECT

private slots:
    void remoteRunAndStop();
};

void TestHeadlessConsole::remoteRunAndStop()
{
    QVERIFY(!QCoreApplication::instance()->inherits("QGuiApplication"));
    QFile maps(QStringLiteral("/proc/self/maps"));
    QVERIFY(maps.open(QIODevice::ReadOnly));
    const QByteArray loaded = maps.readAll();
    QVERIFY2(!loaded.contains("libQt6Gui") && !loaded.contains("libQt6Widgets"), "a console that needs a screen");
    RecordingMessageBox box;
    app::remote::RequestMessageBox requestBox(box);
    RecordingPort port;
    port::record::RecordedPort recorded(port);
    port::backend::Module1 module(recorded);
    app::console::OperatorConsole console(requestBox, module, recorded.record());
    app::remote::RemoteConsole remote(console, requestBox);
    app::remote::RegisterMap map(remote, app::remote::Identity{"V", "P", "1"});
    app::remote::ModbusServer server(map, remote, app::remote::Endpoint{"127.0.0.1", 0});
    remote.setRemoteControl(true);
    const int client = connectToLoopback(server.endpoint().port);
    const ModbusBytes stop{6, 0, 0, 0, 0};
    // 900 rpm, 380 V, 960 rpm rated, 4 poles, 7.6 V/Hz with RUN: 30 Hz.
    const ModbusBytes run{16, 0, 0, 0, 6, 12, 0, 1, 0x03, 0x84, 0x0E, 0xD8, 0x03, 0xC0, 0, 4, 0x02, 0xF8};

    QCOMPARE(ask(client, stop), stop);  // RUN 0 first: a client's first word is never a start
    QCOMPARE(ask(client, run), (ModbusBytes{16, 0, 0, 0, 6}));
    QCOMPARE(console.text(10), QStringLiteral("228"));
    QCOMPARE(console.printedLine(), QStringLiteral("23809"));
    QTRY_VERIFY_WITH_TIMEOUT(port.size() >= 2 * port::pattern::writesPerCycle, 10000);
    QCOMPARE(ask(client, stop), stop);
    QTRY_COMPARE_WITH_TIMEOUT(console.runs().state(), port::run::SequencerState::Idle, 10000);
    ::close(client);
    std::vector<PipeWrite> writes;
    for (const RecordingPort::Write& write : port.writes())
        writes.push_back({write.address, write.value});
    QCOMPARE(QString::fromStdString(wayOutFault(writes)), QString());
    QCOMPARE(box.shown, QStringList());
}

QTEST_GUILESS_MAIN(TestHeadlessConsole)
#include "tst_headlessconsole.moc"
