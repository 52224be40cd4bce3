// The server over loopback with raw sockets: requests framed and answered,
// headers no request has, a request cut short, a flood of connections, an
// idle client, and the communication-loss stop from the server's thread.
// Run under ThreadSanitizer too.
#include "app/remote/modbusserver.h"
#include "fakeconsole.h"
#include "loopbackmodbus.h"

#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <vector>

using namespace std::chrono_literals;
using Bytes = ModbusBytes;

Q_DECLARE_METATYPE(Bytes)

namespace {

constexpr int giveUpMilliseconds = 10000;

Bytes joined(Bytes first, const Bytes& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}


void sendAll(int fd, const Bytes& bytes)
{
    QCOMPARE(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

// What comes within the wait; nothing when the server closed the connection.
std::optional<Bytes> receive(int fd, int waitMilliseconds = giveUpMilliseconds)
{
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, waitMilliseconds) != 1)
        return Bytes{};
    std::array<std::uint8_t, 300> bytes{};
    const ssize_t got = recv(fd, bytes.data(), bytes.size(), 0);
    if (got <= 0)
        return std::nullopt;
    return Bytes(bytes.begin(), bytes.begin() + got);
}

// Remote control on, the fields of a 30 Hz run.
app::remote::ConsoleReadings remoteOn()
{
    app::remote::ConsoleReadings readings;
    readings.remoteControlOn = true;
    readings.ratedVoltage = 380;
    readings.ratedSpeed = 960;
    readings.poles = 4;
    readings.speedReference = 900;
    readings.voltsPerHertz = 7.6;
    return readings;
}

struct Rig {
    FakeConsole console{remoteOn()};
    app::remote::RegisterMap map{console, {"V", "P", "1"}};
    std::optional<app::remote::ModbusServer> server;
    explicit Rig(std::chrono::nanoseconds idle = app::remote::ModbusServer::idleLimit)
    {
        server.emplace(map, console, app::remote::Endpoint{"127.0.0.1", 0}, idle);
    }
    std::uint16_t port() const { return server->endpoint().port; }
};

}  // namespace

class TestModbusServer : public QObject {
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
    void refusesToListen_data();
    void refusesToListen();
    void endpoint_data();
    void endpoint();
    void requestCutShort();
    void floodOfConnections();
    void idleClientDropped();
    void communicationLoss();
    void stopBehindARequestAtTheWindow();
    void exitLeavesTheWindowsRequests();
};

void TestModbusServer::answers_data()
{
    QTest::addColumn<Bytes>("sent");
    QTest::addColumn<std::optional<Bytes>>("reply");  // nothing: the connection is dropped

    QTest::newRow("a read") << modbusFrame({3, 0, 6, 0, 1}) << std::optional(modbusFrame({3, 2, 0x03, 0xE8}));
    QTest::newRow("two requests in one segment") << joined(modbusFrame({3, 0, 6, 0, 1}), modbusFrame({6, 0, 6, 0x07, 0xD0}))
                                                 << std::optional(joined(modbusFrame({3, 2, 0x03, 0xE8}), modbusFrame({6, 0, 6, 0x07, 0xD0})));
    QTest::newRow("function 8 with its data") << modbusFrame({8, 0, 0, 0x12, 0x34}) << std::optional(modbusFrame({0x88, 1}));
    QTest::newRow("protocol id 1") << Bytes{0, 1, 0, 1, 0, 6, 0xFF, 3, 0, 0, 0, 1} << std::optional<Bytes>();
    QTest::newRow("length 0") << Bytes{0, 1, 0, 0, 0, 0, 0xFF} << std::optional<Bytes>();
    QTest::newRow("length 300") << Bytes{0, 1, 0, 0, 0x01, 0x2C, 0xFF, 3} << std::optional<Bytes>();
}

void TestModbusServer::answers()
{
    QFETCH(Bytes, sent);
    QFETCH(std::optional<Bytes>, reply);
    Rig rig;
    const int fd = connectToLoopback(rig.port());
    QVERIFY(fd >= 0);
    sendAll(fd, sent);
    std::optional<Bytes> got = receive(fd);
    // two replies may come as two segments
    while (got && reply && got->size() < reply->size() && !got->empty()) {
        const std::optional<Bytes> more = receive(fd);
        if (!more || more->empty())
            break;
        got->insert(got->end(), more->begin(), more->end());
    }
    QCOMPARE(got, reply);
    ::close(fd);
}

void TestModbusServer::refusesToListen_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("says");
    QTest::newRow("not this machine's") << "192.0.2.1" << "the address is not one of this machine's";
}

void TestModbusServer::refusesToListen()
{
    QFETCH(QString, address);
    QFETCH(QString, says);
    FakeConsole console{remoteOn()};
    app::remote::RegisterMap map(console, {"V", "P", "1"});
    try {
        app::remote::ModbusServer server(map, console, {address.toStdString(), 1502});
        QFAIL("listened");
    } catch (const app::remote::ServerError& error) {
        QVERIFY2(QString::fromUtf8(error.what()).contains(says), error.what());
    }
    // a port in use
    Rig rig;
    try {
        app::remote::ModbusServer second(map, console, rig.server->endpoint());
        QFAIL("listened twice");
    } catch (const app::remote::ServerError& error) {
        QVERIFY2(QString::fromUtf8(error.what()).contains("another program listens there"), error.what());
    }
}

void TestModbusServer::endpoint_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("parsed");  // empty: refused
    QTest::newRow("loopback") << "127.0.0.1:1502" << "127.0.0.1:1502";
    QTest::newRow("every address, named") << "0.0.0.0:502" << "0.0.0.0:502";
    QTest::newRow("no port") << "127.0.0.1" << "";
    QTest::newRow("empty port") << "127.0.0.1:" << "";
    QTest::newRow("port 65536") << "127.0.0.1:65536" << "";
    QTest::newRow("a host name") << "localhost:1502" << "";
    QTest::newRow("IPv6") << "[::1]:1502" << "";
    QTest::newRow("port with a sign") << "127.0.0.1:+1" << "";
}

void TestModbusServer::endpoint()
{
    QFETCH(QString, text);
    QFETCH(QString, parsed);
    const auto endpoint = app::remote::parseEndpoint(text.toStdString());
    QCOMPARE(endpoint ? QString::fromStdString(endpoint->text()) : QString(), parsed);
}

// A request cut short holds nobody else up, and is dropped after frameLimit.
void TestModbusServer::requestCutShort()
{
    Rig rig;
    const int cut = connectToLoopback(rig.port());
    sendAll(cut, Bytes{0x12, 0x34, 0, 0, 0, 6, 0xFF, 3});
    const int other = connectToLoopback(rig.port());
    sendAll(other, modbusFrame({4, 0, 0, 0, 1}));
    QCOMPARE(receive(other), std::optional(modbusFrame({4, 2, 0x08, 0x40})));
    QCOMPARE(receive(cut), std::optional<Bytes>());
    ::close(cut);
    ::close(other);
}

// Past the limit connections are closed at once; the clients served go on.
void TestModbusServer::floodOfConnections()
{
    Rig rig;
    std::vector<int> fds;
    for (int i = 0; i < 12; ++i)
        fds.push_back(connectToLoopback(rig.port()));
    int served = 0;
    for (const int fd : fds) {
        sendAll(fd, modbusFrame({4, 0, 0, 0, 1}));
        const std::optional<Bytes> got = receive(fd);
        if (got) {
            QCOMPARE(*got, modbusFrame({4, 2, 0x08, 0x40}));
            ++served;
        }
    }
    QCOMPARE(served, int(app::remote::ModbusServer::mostClients));
    for (const int fd : fds)
        ::close(fd);
    // the places are free again
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            const int fd = connectToLoopback(rig.port());
            sendAll(fd, modbusFrame({4, 0, 0, 0, 1}));
            const bool answered = receive(fd, 200).has_value();
            ::close(fd);
            return answered;
        }(),
        giveUpMilliseconds);
}

void TestModbusServer::idleClientDropped()
{
    Rig rig(200ms);
    const int fd = connectToLoopback(rig.port());
    sendAll(fd, modbusFrame({4, 0, 0, 0, 1}));
    QCOMPARE(receive(fd), std::optional(modbusFrame({4, 2, 0x08, 0x40})));
    QCOMPARE(receive(fd), std::optional<Bytes>());
    ::close(fd);
}

// The server's thread ends the run of a client that went silent, and only
// after the timeout.
void TestModbusServer::communicationLoss()
{
    Rig rig;
    const int fd = connectToLoopback(rig.port());
    const auto started = std::chrono::steady_clock::now();
    sendAll(fd, joined(modbusFrame({6, 0, 0, 0, 0}, 1), modbusFrame({16, 0, 6, 0, 1, 2, 0, 100}, 2)));  // RUN 0, 100 ms
    Bytes got;
    while (got.size() < 12 + 12) {
        const std::optional<Bytes> more = receive(fd);
        QVERIFY(more && !more->empty());
        got.insert(got.end(), more->begin(), more->end());
    }
    sendAll(fd, modbusFrame({6, 0, 0, 0, 1}));  // RUN
    QTRY_COMPARE_WITH_TIMEOUT(rig.console.handedCount(), std::size_t(1), giveUpMilliseconds);
    rig.console.doHanded();
    QCOMPARE(receive(fd), std::optional(modbusFrame({6, 0, 0, 0, 1})));
    QTRY_VERIFY_WITH_TIMEOUT(!rig.console.doneSoFar().empty() && rig.console.doneSoFar().back().starts_with("lost"),
                             giveUpMilliseconds);
    QVERIFY(std::chrono::steady_clock::now() - started >= 100ms);
    ::close(fd);
}

// Requests behind one at the window wait their turn and are answered in
// order; a STOP among them acts as it arrives, and the start the window had
// not begun never runs (exception 6).
void TestModbusServer::stopBehindARequestAtTheWindow()
{
    Rig rig;
    const int fd = connectToLoopback(rig.port());
    sendAll(fd, modbusFrame({6, 0, 0, 0, 0}, 0));  // RUN 0: the next RUN 1 starts
    QCOMPARE(receive(fd), std::optional(modbusFrame({6, 0, 0, 0, 0}, 0)));
    sendAll(fd, joined(modbusFrame({6, 0, 0, 0, 1}, 1), modbusFrame({3, 0, 6, 0, 1}, 2)));
    QTRY_COMPARE_WITH_TIMEOUT(rig.console.handedCount(), std::size_t(1), giveUpMilliseconds);
    const int other = connectToLoopback(rig.port());
    sendAll(other, modbusFrame({3, 0, 6, 0, 1}));
    QCOMPARE(receive(other), std::optional(modbusFrame({3, 2, 0x03, 0xE8})));
    sendAll(fd, modbusFrame({6, 0, 0, 0, 0}, 3));
    Bytes got;
    while (got.size() < 9 + 11 + 12) {
        const std::optional<Bytes> more = receive(fd);
        QVERIFY(more && !more->empty());
        got.insert(got.end(), more->begin(), more->end());
    }
    QCOMPARE(got, joined(joined(Bytes{0, 1, 0, 0, 0, 3, 0xFF, 0x86, 6}, modbusFrame({3, 2, 0x03, 0xE8}, 2)),
                         modbusFrame({6, 0, 0, 0, 0}, 3)));
    QCOMPARE(rig.console.doneSoFar(), (std::vector<std::string>{"stop", "called off", "stop"}));
    QCOMPARE(rig.console.handedCount(), std::size_t(0));
    ::close(fd);
    ::close(other);
}

// The way out never waits for the window: with four clients' pipelined
// writes handed over or queued and a window that does none of them, the
// server ends, and what the window had not begun never runs.
void TestModbusServer::exitLeavesTheWindowsRequests()
{
    Rig rig;
    std::vector<int> fds;
    for (std::size_t i = 0; i < app::remote::ModbusServer::mostClients; ++i) {
        fds.push_back(connectToLoopback(rig.port()));
        Bytes writes;
        for (std::uint16_t n = 0; n < 40; ++n)
            writes = joined(writes, modbusFrame({6, 0, 1, 0x03, static_cast<std::uint8_t>(n)}, n));
        sendAll(fds.back(), writes);
    }
    QTRY_COMPARE_WITH_TIMEOUT(rig.console.handedCount(), app::remote::ModbusServer::mostClients, giveUpMilliseconds);
    rig.server.reset();
    QCOMPARE(rig.console.handedCount(), std::size_t(0));
    for (const int fd : fds)
        ::close(fd);
}

QTEST_GUILESS_MAIN(TestModbusServer)
#include "tst_modbusserver.moc"
