// The register map: requests as bytes, replies as bytes, what reached the
// console, and the communication-loss watch.
#include "app/remote/registermap.h"
#include "fakeconsole.h"

#include <QTest>

#include <vector>

using namespace std::chrono_literals;
using app::remote::RegisterMap;
using app::remote::Refusal;
using Bytes = std::vector<std::uint8_t>;

Q_DECLARE_METATYPE(Bytes)
Q_DECLARE_METATYPE(Refusal)

namespace {

const RegisterMap::Clock::time_point start{};

// A console at 30 Hz: 380 V, 4 poles, 900 rpm, 7.6 V/Hz, 228 V required.
app::remote::ConsoleReadings thirtyHertz()
{
    app::remote::ConsoleReadings readings;
    readings.delayCount = 23808;
    readings.definedFrequency = 29.99940001;
    readings.measuredFrequency = 29.96;
    readings.cycles = 0x1'0002'0003;  // wraps to 0x0002'0003
    readings.remoteControlOn = true;
    readings.ratedVoltage = 380;
    readings.poles = 4;
    readings.demandedSpeed = 900;
    readings.voltsPerHertz = 7.6;
    readings.requiredVoltage = 228;
    return readings;
}

}  // namespace

class TestRegisterMap : public QObject {
    Q_OBJECT

private slots:
    void reply_data();
    void reply();
    void writeReachesTheConsole_data();
    void writeReachesTheConsole();
    void refusal_data();
    void refusal();
    void communicationLoss_data();
    void communicationLoss();
};

void TestRegisterMap::reply_data()
{
    QTest::addColumn<bool>("running");
    QTest::addColumn<Bytes>("request");
    QTest::addColumn<Bytes>("reply");

    // check reads: scaling, 32-bit values high word first
    QTest::newRow("holding, all") << false << Bytes{3, 0, 0, 0, 6}
                                  << Bytes{3, 12, 0x0E, 0xD8, 0, 4, 0x03, 0x84, 0x02, 0xF8, 0, 0, 0x03, 0xE8};
    QTest::newRow("holding, V/f alone") << false << Bytes{3, 0, 3, 0, 1} << Bytes{3, 2, 0x02, 0xF8};
    QTest::newRow("input, all") << true << Bytes{4, 0, 0, 0, 13}
                                << Bytes{4, 26, 0, 1, 0, 0, 0x5D, 0x00, 0, 0, 0x0B, 0xB8, 0, 0, 0x0B, 0xB4,
                                         0, 2, 0, 3, 0x08, 0xE8, 0, 0, 0, 1, 0, 0};
    QTest::newRow("input, last register") << false << Bytes{4, 0, 12, 0, 1} << Bytes{4, 2, 0, 0};
    // check the protocol's exceptions
    QTest::newRow("function 1") << false << Bytes{1, 0, 0, 0, 1} << Bytes{0x81, 1};
    QTest::newRow("function 23") << false << Bytes{23, 0, 0, 0, 1, 0, 0, 0, 1, 2, 0, 0} << Bytes{0x97, 1};
    QTest::newRow("empty request") << false << Bytes{} << Bytes{0x80, 1};
    QTest::newRow("holding past the end") << false << Bytes{3, 0, 5, 0, 2} << Bytes{0x83, 2};
    QTest::newRow("input at 13") << false << Bytes{4, 0, 13, 0, 1} << Bytes{0x84, 2};
    QTest::newRow("input at 0xFFFF") << false << Bytes{4, 0xFF, 0xFF, 0, 1} << Bytes{0x84, 2};
    QTest::newRow("count 0") << false << Bytes{3, 0, 0, 0, 0} << Bytes{0x83, 3};
    QTest::newRow("count 126") << false << Bytes{4, 0, 0, 0, 126} << Bytes{0x84, 3};
    QTest::newRow("read cut short") << false << Bytes{3, 0, 0, 0} << Bytes{0x83, 3};
    QTest::newRow("write 6 cut short") << false << Bytes{6, 0, 2, 3} << Bytes{0x86, 3};
    QTest::newRow("write 16, byte count wrong") << false << Bytes{16, 0, 2, 0, 1, 3, 0, 0} << Bytes{0x90, 3};
    QTest::newRow("write 16, bytes missing") << false << Bytes{16, 0, 2, 0, 2, 4, 0, 1} << Bytes{0x90, 3};
    QTest::newRow("write 16, count 124") << false << Bytes{16, 0, 0, 0, 124, 248} << Bytes{0x90, 3};
    QTest::newRow("write past the end") << false << Bytes{16, 0, 5, 0, 2, 4, 0, 1, 0, 1} << Bytes{0x90, 2};
    // check the values each register takes, at its limits
    QTest::newRow("rated voltage 0") << false << Bytes{6, 0, 0, 0, 0} << Bytes{0x86, 3};
    QTest::newRow("rated voltage 1000.0 V") << false << Bytes{6, 0, 0, 0x27, 0x10} << Bytes{6, 0, 0, 0x27, 0x10};
    QTest::newRow("rated voltage 1000.1 V") << false << Bytes{6, 0, 0, 0x27, 0x11} << Bytes{0x86, 3};
    QTest::newRow("poles 3") << false << Bytes{6, 0, 1, 0, 3} << Bytes{0x86, 3};
    QTest::newRow("poles 24") << false << Bytes{6, 0, 1, 0, 24} << Bytes{6, 0, 1, 0, 24};
    QTest::newRow("poles 26") << false << Bytes{6, 0, 1, 0, 26} << Bytes{0x86, 3};
    QTest::newRow("speed 9999") << false << Bytes{6, 0, 2, 0x27, 0x0F} << Bytes{6, 0, 2, 0x27, 0x0F};
    QTest::newRow("speed 10000") << false << Bytes{6, 0, 2, 0x27, 0x10} << Bytes{0x86, 3};
    QTest::newRow("V/f 0") << false << Bytes{6, 0, 3, 0, 0} << Bytes{0x86, 3};
    QTest::newRow("command 4") << false << Bytes{6, 0, 4, 0, 4} << Bytes{0x86, 3};
    QTest::newRow("command 0 does nothing") << false << Bytes{6, 0, 4, 0, 0} << Bytes{6, 0, 4, 0, 0};
    QTest::newRow("timeout 99 ms") << false << Bytes{6, 0, 5, 0, 99} << Bytes{0x86, 3};
    QTest::newRow("timeout 60 s") << false << Bytes{6, 0, 5, 0xEA, 0x60} << Bytes{6, 0, 5, 0xEA, 0x60};
    QTest::newRow("timeout 60.001 s") << false << Bytes{6, 0, 5, 0xEA, 0x61} << Bytes{0x86, 3};
    QTest::newRow("timeout 0, idle") << false << Bytes{6, 0, 5, 0, 0} << Bytes{6, 0, 5, 0, 0};
    QTest::newRow("timeout 0, running") << true << Bytes{6, 0, 5, 0, 0} << Bytes{0x86, 3};
    QTest::newRow("one bad value of two") << false << Bytes{16, 0, 1, 0, 2, 4, 0, 4, 0, 0} << Bytes{0x90, 3};
}

void TestRegisterMap::reply()
{
    QFETCH(bool, running);
    QFETCH(Bytes, request);
    QFETCH(Bytes, reply);
    FakeConsole console;
    console.readings = thirtyHertz();
    if (running)
        console.readings.state = port::run::SequencerState::Running;
    RegisterMap map(console);

    QCOMPARE(map.handle(request, 1, start), reply);
    // a refused write wrote nothing
    if (reply[0] & 0x80)
        QCOMPARE(console.done, std::vector<std::string>());
}

void TestRegisterMap::writeReachesTheConsole_data()
{
    QTest::addColumn<Bytes>("request");
    QTest::addColumn<QStringList>("done");

    QTest::newRow("V/f 7.60") << Bytes{6, 0, 3, 0x02, 0xF8} << QStringList{"field 8 = 7.6"};
    QTest::newRow("rated 380.5 V") << Bytes{6, 0, 0, 0x0E, 0xDD} << QStringList{"field 1 = 380.5"};
    // the operating point, then the command, in one request
    QTest::newRow("all, then Required Voltage")
        << Bytes{16, 0, 0, 0, 5, 10, 0x0E, 0xD8, 0, 4, 0x03, 0x84, 0x02, 0xF8, 0, 1}
        << QStringList{"field 1 = 380", "field 6 = 4", "field 7 = 900", "field 8 = 7.6", "press 1"};
    QTest::newRow("RUN") << Bytes{6, 0, 4, 0, 2} << QStringList{"press 2"};
    QTest::newRow("STOP") << Bytes{6, 0, 4, 0, 3} << QStringList{"press 3"};
    QTest::newRow("the timeout alone") << Bytes{6, 0, 5, 0x07, 0xD0} << QStringList();
}

void TestRegisterMap::writeReachesTheConsole()
{
    QFETCH(Bytes, request);
    QFETCH(QStringList, done);
    FakeConsole console;
    console.readings = thirtyHertz();
    RegisterMap map(console);

    const Bytes reply = map.handle(request, 1, start);

    QCOMPARE(reply[0], request[0]);
    QStringList got;
    for (const std::string& line : console.done)
        got << QString::fromStdString(line);
    QCOMPARE(got, done);
}

void TestRegisterMap::refusal_data()
{
    QTest::addColumn<bool>("remoteOn");
    QTest::addColumn<Refusal>("fieldRefusal");
    QTest::addColumn<Refusal>("pressRefusal");
    QTest::addColumn<Bytes>("request");
    QTest::addColumn<Bytes>("reply");
    QTest::addColumn<Refusal>("shown");

    const Refusal none = Refusal::None;
    QTest::newRow("remote off: a field") << false << none << none << Bytes{6, 0, 2, 0, 100} << Bytes{0x86, 1}
                                         << Refusal::RemoteControlOff;
    QTest::newRow("remote off: STOP") << false << none << none << Bytes{6, 0, 4, 0, 3} << Bytes{0x86, 1}
                                      << Refusal::RemoteControlOff;
    QTest::newRow("remote off: reads still work") << false << none << none << Bytes{4, 0, 11, 0, 1}
                                                  << Bytes{4, 2, 0, 0} << none;
    QTest::newRow("a check refuses the speed") << true << Refusal::FourPoleSpeed << none << Bytes{6, 0, 2, 0x04, 0x4C}
                                               << Bytes{0x86, 4} << Refusal::FourPoleSpeed;
    QTest::newRow("Required Voltage refused") << true << none << Refusal::VoltageNotBelowRating
                                              << Bytes{6, 0, 4, 0, 1} << Bytes{0x86, 4}
                                              << Refusal::VoltageNotBelowRating;
    QTest::newRow("the window busy") << true << none << Refusal::WindowBusy << Bytes{6, 0, 4, 0, 2}
                                     << Bytes{0x86, 6} << Refusal::WindowBusy;
    QTest::newRow("RUN without a timeout") << true << none << none << Bytes{16, 0, 4, 0, 2, 4, 0, 2, 0, 0}
                                           << Bytes{0x90, 4} << Refusal::NoCommunicationTimeout;
}

// The reply's exception, and the refusal register after it.
void TestRegisterMap::refusal()
{
    QFETCH(bool, remoteOn);
    QFETCH(Refusal, fieldRefusal);
    QFETCH(Refusal, pressRefusal);
    QFETCH(Bytes, request);
    QFETCH(Bytes, reply);
    QFETCH(Refusal, shown);
    FakeConsole console;
    console.readings = thirtyHertz();
    console.readings.remoteControlOn = remoteOn;
    console.fieldRefusal = fieldRefusal;
    console.pressRefusal = pressRefusal;
    RegisterMap map(console);

    QCOMPARE(map.handle(request, 1, start), reply);
    QCOMPARE(map.inputRegisters()[app::remote::input::lastRefusal], static_cast<std::uint16_t>(shown));
    QCOMPARE(console.done, std::vector<std::string>());
    // a write that is done clears it
    console.readings.remoteControlOn = true;
    console.fieldRefusal = console.pressRefusal = Refusal::None;
    map.handle(Bytes{6, 0, 4, 0, 0}, 1, start);
    QCOMPARE(map.inputRegisters()[app::remote::input::lastRefusal], std::uint16_t{0});
}

void TestRegisterMap::communicationLoss_data()
{
    QTest::addColumn<Bytes>("laterRequest");  // from the client at 600 ms, none when empty
    QTest::addColumn<int>("fromClient");
    QTest::addColumn<bool>("remoteTurnedOff");
    QTest::addColumn<bool>("anotherRun");  // the client's run ended, the operator's began
    QTest::addColumn<int>("tripsAt");  // ms, -1: never

    const Bytes read{4, 0, 0, 0, 1};
    QTest::newRow("silent from the start") << Bytes{} << 1 << false << false << 1000;
    QTest::newRow("a read keeps it alive") << read << 1 << false << false << 1600;
    QTest::newRow("another client does not") << read << 2 << false << false << 1000;
    QTest::newRow("an exception does not") << Bytes{4, 0, 99, 0, 1} << 1 << false << false << 1000;
    QTest::newRow("remote control turned off: the operator's run") << Bytes{} << 1 << true << false << -1;
    QTest::newRow("a later run is not the client's") << Bytes{} << 1 << false << true << -1;
}

void TestRegisterMap::communicationLoss()
{
    QFETCH(Bytes, laterRequest);
    QFETCH(int, fromClient);
    QFETCH(bool, remoteTurnedOff);
    QFETCH(bool, anotherRun);
    QFETCH(int, tripsAt);
    FakeConsole console;
    console.readings = thirtyHertz();
    RegisterMap map(console);
    QVERIFY(!map.watch(start));  // nothing to watch before a remote run
    map.handle(Bytes{6, 0, 4, 0, 2}, 1, start);
    if (!laterRequest.empty())
        map.handle(laterRequest, static_cast<RegisterMap::ClientId>(fromClient), start + 600ms);
    console.readings.remoteControlOn = !remoteTurnedOff;
    if (anotherRun)
        ++console.readings.runsEnded;

    int trippedAt = -1;
    for (int ms = 0; ms <= 3000 && trippedAt < 0; ms += 1) {
        const auto due = map.watch(start + std::chrono::milliseconds(ms));
        if (!console.done.empty() && console.done.back().starts_with("lost"))
            trippedAt = ms;
        else if (!due)
            break;
        else
            QVERIFY(*due > start + std::chrono::milliseconds(ms));
    }

    QCOMPARE(trippedAt, tripsAt);
    if (tripsAt >= 0)
        QCOMPARE(console.done.back(), std::string("lost 1000 ms"));
}

QTEST_GUILESS_MAIN(TestRegisterMap)
#include "tst_registermap.moc"
