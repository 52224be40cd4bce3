// The register map: requests and replies as bytes, the control word's edges,
// who may write, the communication-loss watch on times the test gives, and
// a window that does not answer.
#include "app/remote/registermap.h"
#include "fakeconsole.h"

#include <QTest>

#include <functional>
#include <vector>

using namespace std::chrono_literals;
using app::remote::RegisterMap;
using app::remote::Refusal;
using app::remote::WindowOutcome;
using app::remote::WindowRequest;
using port::run::SequencerState;
using Bytes = std::vector<std::uint8_t>;

Q_DECLARE_METATYPE(Bytes)

namespace {

const RegisterMap::Clock::time_point start{};
const app::remote::Identity identity{"V", "P", "1.0"};
constexpr RegisterMap::ClientId a = 1;
constexpr RegisterMap::ClientId b = 2;
constexpr RegisterMap::ClientId a2 = 3;  // a again, on a connection of its own

Bytes fc6(std::uint16_t address, std::uint16_t value)
{
    return {6, 0, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value)};
}

Bytes fc16(std::uint16_t address, std::vector<std::uint16_t> values)
{
    Bytes pdu{16, 0, static_cast<std::uint8_t>(address), 0, static_cast<std::uint8_t>(values.size()),
              static_cast<std::uint8_t>(2 * values.size())};
    for (const std::uint16_t value : values)
        pdu.insert(pdu.end(), {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
    return pdu;
}

Bytes failed(const Bytes& request, std::uint8_t exception)
{
    return {static_cast<std::uint8_t>(request[0] | 0x80), exception};
}

// A console at 30 Hz, real-time, remote control on: 380 V, 960 rpm rated,
// 4 poles, 900 rpm at 7.6 V/Hz, 228 V required; idle.
app::remote::ConsoleReadings thirtyHertz()
{
    app::remote::ConsoleReadings readings;
    readings.delayCount = 23809;
    readings.definedFrequency = 29.99940001;
    readings.measuredFrequency = 29.96;
    readings.cycles = 0x1'0002'0003;  // wraps to 0x0002'0003
    readings.realtime = true;
    readings.remoteControlOn = true;
    readings.ratedVoltage = 380;
    readings.ratedSpeed = 960;
    readings.poles = 4;
    readings.speedReference = 900;
    readings.voltsPerHertz = 7.6;
    readings.requiredVoltage = 228;
    return readings;
}

// The map over a fake console that is idle, with client a in control of
// run 1 when asked.
struct Bench {
    FakeConsole console{thirtyHertz()};
    RegisterMap map;

    explicit Bench(std::vector<std::uint16_t> locked = {}) : map(console, identity, std::move(locked))
    {
        map.connected(a, {"a"});
        map.connected(b, {"b"});
    }
    std::optional<Bytes> send(RegisterMap::ClientId client, const Bytes& request, std::chrono::milliseconds at = 0ms)
    {
        for (const RegisterMap::Answer& answer : map.arrived(request, client, start + at))
            withdrawn.push_back(answer.reply);
        return map.handle(request, client, start + at);
    }
    // The window does the oldest request handed to it, or refuses it.
    Bytes finish(WindowOutcome outcome = {})
    {
        auto [id, request] = console.begin();
        if (outcome.kind == WindowOutcome::Kind::Done)
            outcome = console.take(request);
        return map.completed(id, outcome, start)->reply;
    }
    // a's RUN 0, then its RUN edge: run 1.
    void aRuns()
    {
        send(a, fc6(0, 0));
        send(a, fc16(0, {1, 900}));
        finish();
        console.done.clear();
    }
    // As the server does it: the requests of one segment arrive (a STOP in
    // one acts then), then each takes its turn, the window doing each
    // before the next. The replies.
    std::vector<Bytes> segment(RegisterMap::ClientId client, const std::vector<Bytes>& requests)
    {
        for (const Bytes& request : requests)
            map.arrived(request, client, start);
        std::vector<Bytes> replies;
        for (const Bytes& request : requests)
            replies.push_back(map.handle(request, client, start).value_or(console.handed.empty() ? Bytes{} : finish()));
        return replies;
    }
    bool runAlive() const { return console.readings.identity.alive(); }
    std::uint16_t status(RegisterMap::ClientId client) { return map.inputRegisters(client)[0]; }
    std::uint16_t refusal() { return map.inputRegisters(a)[app::remote::input::lastRefusal]; }

    std::vector<Bytes> withdrawn;
};

// A sequence of requests, window and time; what went wrong, or nothing.
using Script = std::function<QString(Bench&)>;

}  // namespace

Q_DECLARE_METATYPE(Script)

class TestRegisterMap : public QObject {
    Q_OBJECT

private slots:
    void reply_data();
    void reply();
    void runEdge();
    void refusedStartTrips();
    void whoMayWrite_data();
    void whoMayWrite();
    void wholeOrNothing();
    void communicationLoss_data();
    void communicationLoss();
    void windowDoesNotAnswer();
    void sequences_data();
    void sequences();
};

void TestRegisterMap::reply_data()
{
    QTest::addColumn<bool>("running");
    QTest::addColumn<Bytes>("request");
    QTest::addColumn<Bytes>("reply");

    // check reads: scaling, 32-bit values high word first, the status word
    QTest::newRow("holding, the writable ones") << false << Bytes{3, 0, 0, 0, 7}
        << Bytes{3, 14, 0, 0, 0x03, 0x84, 0x0E, 0xD8, 0x03, 0xC0, 0, 4, 0x02, 0xF8, 0x03, 0xE8};
    QTest::newRow("input, all, running at reference") << true << Bytes{4, 0, 0, 0, 13}
        << Bytes{4, 26, 0, 0x62, 0, 0, 0x0B, 0xB4, 0, 0, 0x0B, 0xB8, 0x08, 0xE8, 0, 0, 0, 0, 0, 3,
                 0, 0, 0x5D, 0x01, 0, 2, 0, 3};
    QTest::newRow("holding 100: idle, this client's RUN 1 no start yet")
        << false << Bytes{3, 0, 100, 0, 5} << Bytes{3, 10, 0x08, 0x40, 0, 0, 0, 0, 0, 0, 0, 0};
    QTest::newRow("holding 112: the last") << true << Bytes{3, 0, 112, 0, 1} << Bytes{3, 2, 0, 3};
    QTest::newRow("read and write: STOP, then the status") << false << Bytes{23, 0, 100, 0, 1, 0, 0, 0, 1, 2, 0, 0}
                                                           << Bytes{23, 2, 0, 0x41};
    // check device identification: a stream, one object, from an unknown object
    const Bytes all{43, 14, 1, 0x81, 0, 0, 3, 0, 1, 'V', 1, 1, 'P', 2, 3, '1', '.', '0'};
    QTest::newRow("identification, basic") << false << Bytes{43, 14, 1, 0} << all;
    QTest::newRow("identification, from object 9") << false << Bytes{43, 14, 1, 9} << all;
    QTest::newRow("identification, object 2") << false << Bytes{43, 14, 4, 2}
                                              << Bytes{43, 14, 4, 0x81, 0, 0, 1, 2, 3, '1', '.', '0'};
    QTest::newRow("identification, no object 3") << false << Bytes{43, 14, 4, 3} << Bytes{0xAB, 2};
    QTest::newRow("identification, code 5") << false << Bytes{43, 14, 5, 0} << Bytes{0xAB, 3};
    QTest::newRow("MEI type 13") << false << Bytes{43, 13, 1, 0} << Bytes{0xAB, 1};
    // check the protocol's exceptions
    QTest::newRow("function 1") << false << Bytes{1, 0, 0, 0, 1} << Bytes{0x81, 1};
    QTest::newRow("function 0x85") << false << Bytes{0x85} << Bytes{0x85, 1};
    QTest::newRow("empty request") << false << Bytes{} << Bytes{0x80, 1};
    QTest::newRow("holding 6 and 7") << false << Bytes{3, 0, 6, 0, 2} << Bytes{0x83, 2};
    QTest::newRow("holding 115 and 116") << false << Bytes{3, 0, 115, 0, 2} << Bytes{0x83, 2};
    QTest::newRow("input at 16") << false << Bytes{4, 0, 16, 0, 1} << Bytes{0x84, 2};
    QTest::newRow("input at 0xFFFF") << false << Bytes{4, 0xFF, 0xFF, 0, 1} << Bytes{0x84, 2};
    QTest::newRow("count 0") << false << Bytes{3, 0, 0, 0, 0} << Bytes{0x83, 3};
    QTest::newRow("count 126") << false << Bytes{4, 0, 0, 0, 126} << Bytes{0x84, 3};
    QTest::newRow("read cut short") << false << Bytes{3, 0, 0, 0} << Bytes{0x83, 3};
    QTest::newRow("write 6 cut short") << false << Bytes{6, 0, 2, 3} << Bytes{0x86, 3};
    QTest::newRow("write 16, byte count wrong") << false << Bytes{16, 0, 2, 0, 1, 3, 0, 0} << Bytes{0x90, 3};
    QTest::newRow("write 23, 122 registers") << false << Bytes{23, 0, 100, 0, 1, 0, 0, 0, 122, 244} << Bytes{0x97, 3};
    QTest::newRow("write past the writable") << false << fc16(5, {1, 1, 1}) << Bytes{0x90, 2};
    QTest::newRow("write the status word") << false << fc6(100, 0) << Bytes{0x86, 2};
    // check the values each register takes, at its limits
    QTest::newRow("control word, a reserved bit") << false << fc6(0, 5) << Bytes{0x86, 3};
    QTest::newRow("speed 0") << false << fc6(1, 0) << Bytes{0x86, 3};
    QTest::newRow("speed 10000") << false << fc6(1, 10000) << Bytes{0x86, 3};
    QTest::newRow("rated voltage 1000.1 V") << false << fc6(2, 10001) << Bytes{0x86, 3};
    QTest::newRow("poles 3") << false << fc6(4, 3) << Bytes{0x86, 3};
    QTest::newRow("poles 26") << false << fc6(4, 26) << Bytes{0x86, 3};
    QTest::newRow("timeout 0: the network cannot turn the watch off") << false << fc6(6, 0) << Bytes{0x86, 3};
    QTest::newRow("timeout 99 ms") << false << fc6(6, 99) << Bytes{0x86, 3};
    QTest::newRow("timeout 60 s") << false << fc6(6, 60000) << fc6(6, 60000);
    QTest::newRow("timeout 60.001 s") << false << fc6(6, 60001) << Bytes{0x86, 3};
    QTest::newRow("poles, locked by the commissioning file") << false << fc6(4, 6) << Bytes{0x86, 4};
}

void TestRegisterMap::reply()
{
    QFETCH(bool, running);
    QFETCH(Bytes, request);
    QFETCH(Bytes, reply);
    Bench bench({app::remote::holding::poles});
    if (running)
        bench.console.readings.identity = {SequencerState::Running, 1};

    QCOMPARE(bench.send(a, request), std::optional(reply));
    // what is refused reaches neither the window nor the run
    QVERIFY(bench.console.handed.empty());
    if (reply[0] & 0x80)
        QCOMPARE(bench.console.done, std::vector<std::string>());
}

// RUN is a held level: a start on the rising edge of the client's own
// word only, with Required Voltage on the fields and the speed written with
// it; 0 stops. Its first word is never a start.
void TestRegisterMap::runEdge()
{
    using namespace app::remote;
    Bench bench;
    QCOMPARE(bench.send(a, fc6(0, 1)), std::optional(fc6(0, 1)));
    QVERIFY(bench.console.handed.empty());
    QCOMPARE(bench.status(a) & (status::startInhibited | status::readyToRun), status::startInhibited);
    // written again, changing nothing: one line a minute says how often
    const std::size_t lines = bench.console.log.size();
    bench.send(a, fc6(0, 1));
    QCOMPARE(bench.console.log.size(), lines);
    bench.map.tick(start + 60s);
    QCOMPARE(bench.console.log.back(), "remote: a wrote 40001=0x0001: taken (1 more times in the minute after, changing nothing)");
    QCOMPARE(bench.send(a, fc6(0, 0)), std::optional(fc6(0, 0)));
    QCOMPARE(bench.status(a) & (status::startInhibited | status::readyToRun), status::readyToRun);
    bench.console.done.clear();
    QCOMPARE(bench.send(a, fc16(0, {1, 900})), std::nullopt);  // to the window
    const WindowRequest& asked = bench.console.handed.begin()->second;
    QCOMPARE(asked.action, WindowRequest::Action::Start);
    QCOMPARE(asked.fields.size(), std::size_t{1});
    QCOMPARE(asked.fields[0].value, 900.0);
    QCOMPARE(bench.finish(), (Bytes{16, 0, 0, 0, 2}));
    QCOMPARE(bench.map.controller(), std::string("a"));
    QVERIFY(bench.status(a) & status::inControl);

    // held: written again, no new start
    QCOMPARE(bench.send(a, fc6(0, 1)), std::optional(fc6(0, 1)));
    QVERIFY(bench.console.handed.empty());
    // 0 stops; the next 1 is an edge again
    QCOMPARE(bench.send(a, fc6(0, 0)), std::optional(fc6(0, 0)));
    QCOMPARE(bench.console.done, std::vector<std::string>{"stop"});
    bench.console.finishStopping();
    QCOMPARE(bench.send(a, fc6(0, 1)), std::nullopt);
    QCOMPARE(bench.console.handed.begin()->second.action, WindowRequest::Action::Start);
}

// Refused by a check, nothing starts and a trip is latched until a fault
// reset's rising edge; no start is even tried meanwhile.
void TestRegisterMap::refusedStartTrips()
{
    Bench bench;
    bench.send(a, fc6(0, 0));
    bench.send(a, fc6(0, 1));
    QCOMPARE(bench.finish({WindowOutcome::Kind::Refused, Refusal::FullSpeed}), failed(fc6(0, 1), 4));
    QCOMPARE(bench.refusal(), std::uint16_t(Refusal::FullSpeed));
    QCOMPARE(bench.status(a) & (app::remote::status::trip | app::remote::status::readyToRun),
             app::remote::status::trip);
    QCOMPARE(bench.map.controller(), std::string());

    bench.send(a, fc6(0, 0));
    QCOMPARE(bench.send(a, fc6(0, 1)), std::optional(failed(fc6(0, 1), 4)));
    QCOMPARE(bench.refusal(), std::uint16_t(Refusal::TripLatched));
    QVERIFY(bench.console.handed.empty());
    QCOMPARE(bench.send(a, fc6(0, 2)), std::optional(fc6(0, 2)));  // fault reset
    QCOMPARE(bench.status(a) & app::remote::status::trip, 0);
    QCOMPARE(bench.refusal(), std::uint16_t(0));
    bench.send(a, fc6(0, 0));
    QCOMPARE(bench.send(a, fc6(0, 1)), std::nullopt);  // tried again
}

void TestRegisterMap::whoMayWrite_data()
{
    QTest::addColumn<bool>("remoteOn");
    QTest::addColumn<int>("writer");  // a is in control of run 1
    QTest::addColumn<Bytes>("request");
    QTest::addColumn<Bytes>("reply");  // empty: to the window
    QTest::addColumn<QStringList>("done");

    const Bytes stop = fc6(0, 0);
    QTest::newRow("another's speed") << true << int(b) << fc6(1, 800) << failed(fc6(1, 800), 1) << QStringList();
    QTest::newRow("another's STOP") << true << int(b) << stop << stop << QStringList{"stop"};
    QTest::newRow("another's STOP with a speed: the STOP acts, the rest is not written")
        << true << int(b) << fc16(0, {0, 800}) << Bytes{16, 0, 0, 0, 2} << QStringList{"stop"};
    QTest::newRow("a STOP with a reserved bit still stops") << true << int(a) << fc6(0, 4) << fc6(0, 4)
                                                            << QStringList{"stop"};
    QTest::newRow("the controller's STOP with a speed") << true << int(a) << fc16(0, {0, 2000}) << Bytes{}
                                                        << QStringList{"stop"};
    QTest::newRow("off: a speed") << false << int(a) << fc6(1, 800) << failed(fc6(1, 800), 1) << QStringList();
    QTest::newRow("off: the former controller stops its run") << false << int(a) << stop << stop
                                                              << QStringList{"stop 1"};
    QTest::newRow("off: another's STOP, the operator's run") << false << int(b) << stop << failed(stop, 1)
                                                             << QStringList();
}

void TestRegisterMap::whoMayWrite()
{
    QFETCH(bool, remoteOn);
    QFETCH(int, writer);
    QFETCH(Bytes, request);
    QFETCH(Bytes, reply);
    QFETCH(QStringList, done);
    Bench bench;
    bench.aRuns();
    bench.console.switchRemote(remoteOn);
    bench.map.tick(start);

    const std::optional<Bytes> got = bench.send(static_cast<RegisterMap::ClientId>(writer), request);

    QCOMPARE(got, reply.empty() ? std::nullopt : std::optional(reply));
    QStringList did;
    for (const std::string& action : bench.console.done)
        did << QString::fromStdString(action);
    QCOMPARE(did, done);
}

// A request refused at the window, or by the state, changes no register.
void TestRegisterMap::wholeOrNothing()
{
    Bench bench;
    bench.send(a, fc16(1, {1200, 3800, 960, 4, 760, 2000}));
    QCOMPARE(bench.finish({WindowOutcome::Kind::Refused, Refusal::AboveRatedSpeed}),
             failed(fc16(1, {1200}), 4));
    QCOMPARE(bench.map.holdingRegisters(a)[app::remote::holding::timeout], std::uint16_t(1000));

    bench.aRuns();
    QCOMPARE(bench.send(a, fc16(1, {800, 3800, 960, 4, 760, 2000})), std::optional(failed(fc16(1, {1}), 4)));
    QCOMPARE(bench.refusal(), std::uint16_t(Refusal::RunAlive));
    QVERIFY(bench.console.handed.empty());
    QCOMPARE(bench.map.holdingRegisters(a)[app::remote::holding::timeout], std::uint16_t(1000));
    // the speed alone, during a run: Required Voltage, then RUN's new count for that run
    QCOMPARE(bench.send(a, fc6(1, 800)), std::nullopt);
    QCOMPARE(bench.console.handed.begin()->second.action, WindowRequest::Action::NewCount);
    QCOMPARE(bench.console.handed.begin()->second.ticket->run(), std::optional<std::uint64_t>(1));
}

void TestRegisterMap::communicationLoss_data()
{
    QTest::addColumn<bool>("started");  // the window took the start, or it still waits
    QTest::addColumn<QString>("at600");  // what happens at 600 ms
    QTest::addColumn<int>("tripsAt");   // ms, -1: never
    QTest::addColumn<QString>("action");

    const QString lost = QStringLiteral("lost 1000 ms, run 1");
    QTest::newRow("silent") << true << "" << 1000 << lost;
    QTest::newRow("reads do not reset it") << true << "a reads" << 1000 << lost;
    QTest::newRow("another's writes do not") << true << "b writes the timeout" << 1000 << lost;
    QTest::newRow("the controller's speed does") << true << "a writes the speed" << 1600 << "lost 1000 ms, run 1";
    QTest::newRow("a start still waiting is called off") << false << "" << 1000 << "called off";
    QTest::newRow("closed: its run still ends") << true << "a closes" << 1000 << lost;
    QTest::newRow("closed: a start waiting is called off at once") << false << "a closes" << 600 << "called off";
    QTest::newRow("remote control off: the operator's run") << true << "remote off" << -1 << "";
    QTest::newRow("remote control off: a start waiting is called off") << false << "remote off" << 600
                                                                        << "called off";
    QTest::newRow("the run ended") << true << "the run ends" << -1 << "";
}

void TestRegisterMap::communicationLoss()
{
    QFETCH(bool, started);
    QFETCH(QString, at600);
    QFETCH(int, tripsAt);
    QFETCH(QString, action);
    Bench bench;
    QVERIFY(!bench.map.nextDue());  // nothing to watch before a remote run
    bench.console.selfTest = !started;  // the start waits for the self-test to end
    bench.send(a, fc6(0, 0));
    bench.send(a, fc6(0, 1));
    bench.finish();
    bench.console.done.clear();

    int trippedAt = -1;
    for (int ms = 0; ms <= 3000 && trippedAt < 0; ms += 50) {
        if (ms == 600) {
            if (at600 == "a reads")
                bench.send(a, Bytes{4, 0, 0, 0, 13}, 600ms);
            else if (at600 == "b writes the timeout")
                bench.send(b, fc6(6, 2000), 600ms);
            else if (at600 == "a writes the speed")
                bench.send(a, fc6(1, 900), 600ms);
            else if (at600 == "a closes")
                bench.map.closed(a, start + 600ms);
            else if (at600 == "remote off")
                bench.console.switchRemote(false);
            else if (at600 == "the run ends")
                bench.console.readings.identity.state = SequencerState::Idle;
        }
        bench.map.tick(start + std::chrono::milliseconds(ms));
        if (!bench.console.done.empty())
            trippedAt = ms;
    }

    QCOMPARE(trippedAt, tripsAt);
    if (tripsAt >= 0) {
        QCOMPARE(QString::fromStdString(bench.console.done.front()), action);
        QVERIFY(bench.status(a) & app::remote::status::communicationLost || at600 == "a closes" ||
                at600 == "remote off");
    }
}

// While the window does not answer, reads are answered and a STOP acts; a
// request the window never began gets exception 6, one it began its outcome.
void TestRegisterMap::windowDoesNotAnswer()
{
    Bench bench;
    bench.send(a, fc6(0, 0));
    bench.console.done.clear();
    QCOMPARE(bench.send(a, fc16(0, {1, 900})), std::nullopt);
    QCOMPARE(bench.send(b, Bytes{3, 0, 100, 0, 1}, 100ms), std::optional(Bytes{3, 2, 0x06, 0x40}));
    QCOMPARE(bench.send(b, fc6(0, 0), 200ms), std::optional(fc6(0, 0)));
    QCOMPARE(bench.console.done, (std::vector<std::string>{"called off", "stop"}));
    QCOMPARE(bench.withdrawn, std::vector<Bytes>{failed(fc16(0, {1, 900}), 6)});
    QVERIFY(bench.console.handed.empty());

    bench.send(a, fc6(1, 700), 300ms);
    QVERIFY(bench.map.tick(start + 549ms).empty());
    const auto given = bench.map.tick(start + 550ms);
    QCOMPARE(given.size(), std::size_t{1});
    QCOMPARE(given[0].reply, failed(fc6(1, 700), 6));
    QCOMPARE(bench.refusal(), std::uint16_t(Refusal::WindowBusy));

    bench.send(a, fc6(1, 700), 600ms);
    bench.console.begin();  // begun, not yet done
    QVERIFY(bench.map.tick(start + 900ms).empty());
    QCOMPARE(bench.map.completed(3, {}, start + 950ms)->reply, fc6(1, 700));
}

// What an integrator met, each as it happened: nothing starts without a
// fresh edge from its own client, and what runs is what the registers say.
void TestRegisterMap::sequences_data()
{
    QTest::addColumn<Script>("script");
    const auto alive = [](Bench& r) { return r.runAlive() ? QStringLiteral("a run is alive") : QString(); };
    const Bytes edge = fc16(0, {1, 900});

    QTest::newRow("1: a held RUN 1 after a reconnect and another's STOP") << Script([=](Bench& r) {
        r.segment(a, {fc6(0, 0), edge});
        r.map.closed(a, start);
        r.segment(a2, {fc6(0, 1)});
        r.segment(b, {fc6(0, 0)});
        r.console.finishStopping();
        r.segment(a2, {fc6(0, 1)});
        return alive(r);
    });
    QTest::newRow("2: a trip, then another's fault reset, then a held RUN 1") << Script([=](Bench& r) {
        r.segment(a, {fc6(0, 0), edge});
        r.map.tick(start + 1100ms);
        r.console.finishStopping();
        r.segment(b, {fc6(0, 2)});
        r.segment(a, {fc6(0, 1)});
        return alive(r);
    });
    QTest::newRow("3: a pipelined STOP behind a start") << Script([=](Bench& r) {
        r.segment(a, {fc6(0, 0), fc6(1, 900), fc6(0, 1), fc6(0, 0)});
        return alive(r);
    });
    QTest::newRow("5: a reference written while a start waits behind a stopping run") << Script([=](Bench& r) {
        r.console.readings.speedReference = 200;
        r.segment(a, {fc6(0, 0), fc16(0, {1, 200})});
        r.segment(a, {fc6(0, 0), edge, fc6(1, 300)});
        r.console.finishStopping();
        const double shown = r.map.holdingRegisters(a)[app::remote::holding::speedReference];
        return r.console.runSpeed == shown ? alive(r).isEmpty() ? QStringLiteral("no run") : QString()
                                           : QStringLiteral("runs at %1 rpm, shows %2").arg(r.console.runSpeed).arg(shown);
    });
    QTest::newRow("8: nobody in control writes the timeout of a live run") << Script([=](Bench& r) {
        r.segment(a, {fc6(0, 0), edge});
        r.map.closed(a, start);
        return r.segment(b, {fc6(6, 60000)}).back() == failed(fc6(6, 60000), 1) ? QString() : QStringLiteral("taken");
    });
}

void TestRegisterMap::sequences()
{
    QFETCH(Script, script);
    Bench bench;
    QCOMPARE(script(bench), QString());
}

QTEST_GUILESS_MAIN(TestRegisterMap)
#include "tst_registermap.moc"
