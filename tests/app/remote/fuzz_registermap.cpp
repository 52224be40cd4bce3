// libFuzzer target for the register map, driven as the server drives it:
// two clients' requests, one at a time each, the window doing or refusing
// what it was handed, time passing, a client closing. Every request gets a
// reply of the protocol's form, never a fault; with remote control off
// nothing reaches the window or the run; no start is handed over without a
// ticket; and every request handed over is answered exactly once.
//
// Input: a byte for the console's state, then steps of an operation byte
// (client in bit 0, what in bits 1-3) and, for a request, a length byte and
// the PDU.
#include "app/remote/registermap.h"
#include "fakeconsole.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <utility>

namespace {

using app::remote::RegisterMap;

void require(bool holds)
{
    if (!holds)
        __builtin_trap();
}

void checkReply(const std::vector<std::uint8_t>& reply, std::uint8_t function)
{
    require(!reply.empty() && reply.size() <= 253);
    if (reply[0] & app::remote::function::exceptionBit) {
        const std::uint8_t code = reply[1];
        require(reply.size() == 2 && (code == 1 || code == 2 || code == 3 || code == 4 || code == 6));
        return;
    }
    require(reply[0] == function);
    switch (function) {
    case app::remote::function::readHolding:
    case app::remote::function::readInput:
    case app::remote::function::readWriteMultiple:
        require(reply.size() == 2u + reply[1] && reply[1] >= 2 && reply[1] % 2 == 0);
        break;
    case app::remote::function::writeSingle:
    case app::remote::function::writeMultiple:
        require(reply.size() == 5);
        break;
    default:
        require(function == app::remote::function::encapsulated);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    FakeConsole console;
    console.readings.remoteControlOn = (data[0] & 1) != 0;
    console.readings.state = (data[0] & 2) != 0 ? port::run::SequencerState::Running : port::run::SequencerState::Idle;
    console.readings.run = 1;
    RegisterMap map(console, {"V", "P", "1"});
    map.connected(0, "a");
    map.connected(1, "b");
    RegisterMap::Clock::time_point now{};
    std::array<std::optional<std::uint8_t>, 2> atWindow;  // the function of each client's request there
    const auto answered = [&](const RegisterMap::Answer& answer) {
        require(answer.client < 2 && atWindow[answer.client]);
        checkReply(answer.reply, *std::exchange(atWindow[answer.client], std::nullopt));
    };

    for (std::size_t at = 1; at < size;) {
        const std::uint8_t operation = data[at++];
        const RegisterMap::ClientId client = operation & 1;
        switch ((operation >> 1) & 7) {
        case 0: {
            if (at >= size)
                return 0;
            const std::size_t asked = data[at++];
            const std::size_t length = std::min(asked, size - at);
            const std::span<const std::uint8_t> request(data + at, length);
            at += length;
            for (const RegisterMap::Answer& answer : map.arrived(request, client, now))
                answered(answer);
            if (atWindow[client])
                break;  // the server keeps it behind the one at the window
            const std::size_t handedBefore = console.handed.size();
            if (const auto reply = map.handle(request, client, now))
                checkReply(*reply, request.empty() ? 0 : request[0]);
            else
                atWindow[client] = request[0];
            require(console.handed.size() == handedBefore + (atWindow[client] ? 1 : 0));
            break;
        }
        case 1:
        case 2:
            if (!console.handed.empty()) {
                auto [id, request] = console.begin();
                require(request.action != app::remote::WindowRequest::Action::Start || request.ticket);
                app::remote::WindowOutcome outcome;
                if (operation & 2)
                    outcome = {app::remote::WindowOutcome::Kind::Refused, app::remote::Refusal::FourPoleSpeed};
                else if (request.ticket)
                    request.ticket->take(console.readings.run);
                if (const auto answer = map.completed(id, outcome, now))
                    answered(*answer);
            }
            break;
        case 3:
            map.closed(client, now);
            atWindow[client].reset();
            break;
        default:
            now += std::chrono::milliseconds(operation * 8);
            for (const RegisterMap::Answer& answer : map.tick(now))
                answered(answer);
            break;
        }
        if (!console.readings.remoteControlOn)
            require(console.handed.empty() && console.done.empty());
    }
    return 0;
}
