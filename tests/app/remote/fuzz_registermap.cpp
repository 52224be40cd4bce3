// libFuzzer target for the register map: any bytes a client can send as a
// request PDU get a reply of the protocol's form, never a fault; with remote
// control off nothing reaches the console; a request the map refuses itself
// writes nothing. The first byte sets the console's state.
#include "app/remote/registermap.h"
#include "fakeconsole.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace {

void require(bool holds)
{
    if (!holds)
        __builtin_trap();
}

bool exceptionCode(std::uint8_t code)
{
    return code == 1 || code == 2 || code == 3 || code == 4 || code == 6;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::uint8_t setup = data[0];
    FakeConsole console;
    console.readings.remoteControlOn = (setup & 1) != 0;
    console.readings.state = (setup & 2) != 0 ? port::run::SequencerState::Running : port::run::SequencerState::Idle;
    if ((setup & 4) != 0)
        console.fieldRefusal = app::remote::Refusal::TwoPoleSpeed;
    if ((setup & 8) != 0)
        console.pressRefusal = app::remote::Refusal::WindowBusy;
    app::remote::RegisterMap map(console);
    const std::span<const std::uint8_t> request(data + 1, size - 1);

    const std::vector<std::uint8_t> reply = map.handle(request, 1, app::remote::RegisterMap::Clock::time_point{});

    require(!reply.empty() && reply.size() <= 253);
    const std::uint8_t function = request.empty() ? 0 : request[0];
    if (reply[0] & app::remote::function::exceptionBit) {
        require(reply.size() == 2 && exceptionCode(reply[1]));
        // Refused by the map itself: checked whole before anything was written.
        if (reply[1] <= 3)
            require(console.done.empty());
    } else {
        require(reply[0] == function);
        if (function == app::remote::function::readHolding || function == app::remote::function::readInput)
            require(reply.size() == 2u + reply[1] && reply[1] >= 2 && reply[1] % 2 == 0);
        else
            require(reply.size() == 5);
    }
    if (!console.readings.remoteControlOn)
        require(console.done.empty());
    for (const std::string& done : console.done)
        require(done.starts_with("field ") || done == "press 1" || done == "press 2" || done == "press 3");
    // The watch after any request: never a fault, a deadline only for a run.
    map.watch(app::remote::RegisterMap::Clock::time_point{} + std::chrono::seconds(61));
    return 0;
}
