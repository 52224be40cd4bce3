// libFuzzer target for the register map, driven as the server drives it
// beside the model of its rules (controlmodel.h): three connections sending
// requests, pipelined behind one at the window, closing and coming back
// named by a unit id; the window doing, refusing or not beginning what it
// was handed; time; the switch; the self-test; and stops from the
// sequencer's side (the port failing, the CPU limit, a silent window). It
// fails at the first divergence from the model (the state, who is in
// control, a trip latched, each answer's code), at a reply not of the
// protocol's form to any bytes but a write, and when one of four things
// holds no more: no run starts without its client's fresh edge; a run,
// once its cycle under way has ended, uses the operating point the
// registers show; a run a client started is watched until it ends; nothing
// from afar runs at delay count 0. Built without libFuzzer (gcc), a main
// feeds it inputs from a fixed seed.
//
// Input: a byte for the switch, then steps of an operation byte and its
// argument byte.
#include "app/remote/registermap.h"
#include "controlmodel.h"
#include "fakeconsole.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <random>
#include <span>
#include <vector>

namespace {

using app::remote::RegisterMap;
using Bytes = std::vector<std::uint8_t>;

// The steps so far, and the input in hex, said when the map and the model part.
std::string trace, hex;

void require(bool holds, const std::string& what)
{
    if (!holds) {
        std::fprintf(stderr, "fuzz_registermap: %s, after:%s\n%s\n", what.c_str(), trace.c_str(), hex.c_str());
        std::abort();
    }
}

Bytes fc6(std::uint8_t address, std::uint16_t value)
{
    return {6, 0, address, static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

Bytes fc16(std::uint8_t address, std::initializer_list<std::uint16_t> values)
{
    Bytes pdu{16, 0, address, 0, static_cast<std::uint8_t>(values.size()), static_cast<std::uint8_t>(2 * values.size())};
    for (const std::uint16_t value : values)
        pdu.insert(pdu.end(), {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
    return pdu;
}

// A request as a client writes one, and what it writes, for the model.
struct Sent {
    Bytes pdu;
    ControlModel::Write write;
};

Sent request(std::uint8_t kind, std::uint8_t value)
{
    using W = ControlModel::Write;
    constexpr std::uint16_t words[] = {0, 1, 2, 3, 4, 5};
    constexpr std::uint16_t speeds[] = {300, 900, 1200, 0};
    constexpr std::uint16_t timeouts[] = {100, 1000, 60000, 50};
    const std::uint16_t word = words[value % 6], speed = speeds[value % 4], timeout = timeouts[value % 4];
    const auto held = static_cast<std::uint16_t>(word % 3), level = static_cast<std::uint16_t>(word % 2);
    switch (kind % 8) {
    case 0:
        return {fc6(0, word), W{word, {}, {}, false, word > 3}};
    case 1:
        return {fc6(1, speed), W{{}, speed, {}, false, speed == 0}};
    case 2:
        return {fc16(0, {held, speeds[value % 2]}), W{held, speeds[value % 2], {}, false, false}};
    case 3:
        return {fc6(6, timeout), W{{}, {}, timeout, false, timeout < 100}};
    case 4:
        return {fc16(2, {3800, 960, 4, static_cast<std::uint16_t>(value % 2 ? 760 : 1900)}), W{{}, {}, {}, true, false}};
    case 5:
        return {{4, 0, 0, 0, 16}, W{}};
    case 6:
        return {{23, 0, 100, 0, 1, 0, 0, 0, 1, 2, 0, static_cast<std::uint8_t>(level)}, W{level, {}, {}, false, false}};
    default:
        return {fc16(0, {level, 900, 3800, 960, 4, 760, 1000}), W{level, 900, 1000, true, false}};
    }
}

// A reply of the protocol's form to a request of function.
bool wellFormed(const Bytes& reply, std::uint8_t function)
{
    if (reply.empty() || reply.size() > 253)
        return false;
    if (reply[0] & app::remote::function::exceptionBit)
        return reply.size() == 2 && (reply[1] == 1 || reply[1] == 2 || reply[1] == 3);
    switch (function) {
    case app::remote::function::readHolding:
    case app::remote::function::readInput:
        return reply[0] == function && reply.size() == 2u + reply[1] && reply[1] >= 2 && reply[1] % 2 == 0;
    default:
        return reply[0] == function && function == app::remote::function::encapsulated;
    }
}

int codeOf(const Bytes& reply)
{
    return reply[0] & app::remote::function::exceptionBit ? reply[1] : 0;
}

struct Connection {
    RegisterMap::ClientId id = 0;
    std::string client;
    struct Queued {
        Sent sent;
        int number;
        bool stopped;
        ControlModel::Word before;
    };
    std::deque<Queued> queued;  // arrived, waiting for their turn
    bool atWindow = false;
};

// One run of the map and the model side by side.
struct Rig {
    FakeConsole console;
    RegisterMap map{console, {"V", "P", "1"}};
    ControlModel model;
    std::array<Connection, 3> connections;
    RegisterMap::ClientId nextId = 1;
    int arrivals = 0, now = 0;
    port::run::RunIdentity seen;
    std::uint64_t trips = 0;

    explicit Rig(app::remote::ConsoleReadings readings) : console(readings)
    {
        model.state = readings.remoteControlOn ? ControlModel::State::Ready : ControlModel::State::Off;
        for (Connection& connection : connections)
            connect(connection, 0);
    }
    void connect(Connection& connection, std::uint8_t unit)
    {
        connection = {nextId++, {}, {}, false};
        connection.client = unit ? "0.0.0.0 unit " + std::to_string(unit) : "#" + std::to_string(connection.id);
        map.connected(connection.id, {"#" + std::to_string(connection.id)});
        map.addressed(connection.id, unit);
    }
    RegisterMap::Clock::time_point at() const { return RegisterMap::Clock::time_point{} + std::chrono::milliseconds(now); }
    bool alive() const { return console.readings.identity.alive(); }
    bool running() const { return console.readings.identity.state == FakeConsole::State::Running; }

    void send(Connection& connection, const Sent& sent)
    {
        const int number = ++arrivals;
        const bool on = model.state != ControlModel::State::Off;
        const bool acted = on ? running() || console.waiting || console.queued
                              : running() && model.formerRun == console.readings.identity.run;
        const ControlModel::Word before = model.words[connection.client].first;
        const std::size_t handedBefore = model.handed.size();
        const auto answers = map.arrived(sent.pdu, connection.id, at());
        const bool stopped = model.arrive(connection.client, sent.write, number, now, acted, alive());
        require(answers.size() == handedBefore - model.handed.size(), "the starts a STOP called off");
        connection.queued.push_back({sent, number, stopped, before});
        for (const RegisterMap::Answer& answer : answers)
            answered(answer, 6);
        serve(connection);
    }
    void serve(Connection& connection)
    {
        while (!connection.atWindow && !connection.queued.empty()) {
            const Connection::Queued turn = connection.queued.front();
            connection.queued.pop_front();
            const std::size_t handedBefore = console.handed.size();
            const auto reply = map.handle(turn.sent.pdu, connection.id, at());
            const auto ticket = console.handed.size() > handedBefore ? console.handed.rbegin()->second.ticket : nullptr;
            const int expected = model.turn(connection.client, connection.id, turn.sent.write, turn.number, turn.stopped,
                                            turn.before, alive(), now, ticket);
            require(reply ? codeOf(*reply) == expected : expected == -1, "the answer at its turn");
            connection.atWindow = !reply;
        }
    }
    void answered(const RegisterMap::Answer& answer, int expected)
    {
        require(codeOf(answer.reply) == expected, "the answer from the window");
        for (Connection& connection : connections)
            if (connection.id == answer.client) {
                connection.atWindow = false;
                serve(connection);
            }
    }
    void window(bool refuse)
    {
        if (console.handed.empty())
            return;
        if (refuse)
            console.refuseNext = app::remote::Refusal::FourPoleSpeed;
        auto [id, request] = console.begin();
        const app::remote::WindowOutcome outcome = console.take(request);
        console.refuseNext.reset();
        const bool refused = outcome.kind == app::remote::WindowOutcome::Kind::Refused;
        const auto answer = map.completed(id, outcome, at());
        const int expected = model.done(refused ? app::remote::exceptionFor(outcome.refusal) : 0,
                                        refused && app::remote::refusedByCheck(outcome.refusal), alive());
        if (answer)
            answered(*answer, expected);
    }
    void pass(int milliseconds)
    {
        now += milliseconds;
        const int withdrawn = model.tick(now, alive(), console.readings.identity.run);
        const auto answers = map.tick(at());
        require(answers.size() == std::size_t(withdrawn), "the requests answered as time passed");
        for (const RegisterMap::Answer& answer : answers)
            answered(answer, 6);
    }
    void close(Connection& connection, std::uint8_t unit)
    {
        map.closed(connection.id, at());
        model.closed(connection.id, connection.client, connection.client.starts_with('#'), alive());
        connect(connection, unit);
    }

    // After every step: what the console did, then the model and the map agree.
    void check()
    {
        const port::run::RunIdentity run = console.readings.identity;
        const bool ended = seen.alive() && (run.run != seen.run || !run.alive());
        const bool began = run.run != seen.run;
        const bool clients = model.start && model.start->run() == run.run;
        require(!began || !console.lastTicket || console.lastTicket == model.start,
                "a run began without its client's fresh edge");
        const bool byRemote = ended && run.run == seen.run && console.readings.endCause == port::run::RunEndCause::None &&
                              console.readings.lastEnd.run == seen.run &&
                              console.readings.lastEnd.source == port::run::StopSource::Remote;
        model.follow(run.alive(), run.run, ended ? seen.run : 0, byRemote, began && !clients,
                     console.readings.trips > trips);
        seen = run;
        trips = console.readings.trips;
        pass(0);
        require(map.state() == model.state, "the state");
        require(map.controller() == model.controller.value_or(""), "who is in control");
        const std::uint16_t status = map.inputRegisters(connections[0].id)[0];
        require(bool(status & app::remote::status::trip) == model.trip, "the trip");
        require(model.handed.size() == console.handed.size(), "the requests at the window");
        const double shown = console.readings.speedReference;
        require(!running() || console.runSpeed == shown, "what runs is what the registers say");
        require((!console.queued || console.queued->speed == shown) && (!console.waiting || console.waiting->speed == shown),
                "what waits is what the registers say");
        if (clients && run.alive()) {
            require(map.nextDue().has_value(), "a client's run without its watch");
            require(console.runCount > 0, "a run from afar at delay count 0");
        }
    }
};

app::remote::ConsoleReadings thirtyHertz(bool remoteOn)
{
    app::remote::ConsoleReadings readings;
    readings.remoteControlOn = remoteOn;
    readings.ratedVoltage = 380;
    readings.ratedSpeed = 960;
    readings.poles = 4;
    readings.speedReference = 900;
    readings.voltsPerHertz = 7.6;
    return readings;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    Rig rig(thirtyHertz(data[0] & 1));
    trace = data[0] & 1 ? " on" : " off";
    for (std::size_t at = 1; at + 1 < size; at += 2) {
        const std::uint8_t operation = data[at], argument = data[at + 1];
        trace += " " + std::to_string(operation % 3) + ":" + std::to_string((operation / 3) % 12) + "/" +
                 std::to_string(operation / 36 % 8) + "." + std::to_string(argument);
        Connection& connection = rig.connections[operation % 3];
        switch ((operation / 3) % 12) {
        case 0:
        case 1:
            rig.send(connection, request(operation / 36, argument));
            break;
        case 2: {  // any bytes but a write: a reply of the protocol's form, and nothing changes
            const std::size_t length = std::min<std::size_t>(argument % 16, size - at - 2);
            const std::span<const std::uint8_t> pdu(data + at + 2, length);
            at += length;
            const auto decoded = app::remote::decode(pdu);
            const auto* asked = std::get_if<app::remote::Request>(&decoded);
            if ((asked && asked->write) || connection.atWindow || !connection.queued.empty())
                break;
            ++rig.arrivals;
            rig.map.arrived(pdu, connection.id, rig.at());
            const auto reply = rig.map.handle(pdu, connection.id, rig.at());
            require(reply && wellFormed(*reply, pdu.empty() ? 0 : pdu[0]), "a reply of the protocol's form");
            break;
        }
        case 3:
            rig.window(argument & 1);
            break;
        case 4:
            rig.close(connection, argument % 3 == 2 ? 1 : 0);
            break;
        case 5:
            rig.pass(10 * (1 + argument));
            break;
        case 6:
            rig.console.finishStopping();
            break;
        case 7: {
            const bool on = !rig.console.readings.remoteControlOn;
            rig.console.switchRemote(on);
            rig.model.switched(on, rig.alive());
            break;
        }
        case 8:
            if (rig.console.selfTest)
                rig.console.endSelfTest();
            else if (!rig.console.readings.identity.alive())
                rig.console.selfTest = true;
            break;
        case 9:
            rig.console.trip(static_cast<port::run::RunEndCause>(1 + argument % 3));
            break;
        case 10:
            if (argument & 1) {
                const bool on = rig.model.state != ControlModel::State::Off;
                rig.console.operatorStop();
                if (on)
                    rig.model.switched(false, rig.alive());
            } else {
                rig.console.run(rig.console.readings.speedReference);
            }
            break;
        default:
            ++rig.console.readings.operatorResets;
            rig.model.trip = false, rig.model.stop();
            break;
        }
        rig.check();
    }
    return 0;
}

#ifdef FC_FUZZ_DRIVER
// Without libFuzzer: inputs of every length up to 300 from a fixed seed; or
// the one input given in hex, to replay a failure.
int main(int argc, char** argv)
{
    if (argc > 1) {
        std::vector<std::uint8_t> bytes;
        for (const char* at = argv[1]; at[0] && at[1]; at += 2)
            bytes.push_back(static_cast<std::uint8_t>(std::stoi(std::string(at, 2), nullptr, 16)));
        return LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::mt19937 random(1);
    for (int input = 0; input < 20000; ++input) {
        std::vector<std::uint8_t> bytes(1 + random() % 300);
        for (std::uint8_t& byte : bytes)
            byte = static_cast<std::uint8_t>(random());
        hex.clear();
        for (const std::uint8_t byte : bytes)
            hex += "0123456789abcdef"[byte >> 4], hex += "0123456789abcdef"[byte & 15];
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    return 0;
}
#endif
