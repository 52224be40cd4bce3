// Which DB-25 pin can carry the keep-alive, read from gpioPins.
#include "port/backend/keepalivepin.h"

#include "port/backend/gpiowiring.h"
#include "port/pattern/steppattern.h"

#include <algorithm>

namespace port::backend {

namespace {

constexpr char spareHint[] = "; give pin 1, 16 or 17 (C0, C2, C3), which the pattern leaves alone";

// The pattern moves D0-D7 and C1 and nothing else, so the optional pins are
// the spare ones; each is a control line.
static_assert(std::ranges::all_of(gpioPins, [](const GpioPin& pin) {
    return !pin.optional || (pin.address == controlPort && pin.bit != pattern::controlLineBit);
}));

}  // namespace

std::optional<KeepAlivePin> parallelKeepAlivePin(std::string_view pin, std::string& error)
{
    const std::optional<unsigned> number = gpioLineOffset(pin);
    const auto wired = std::ranges::find_if(
        gpioPins, [&number](const GpioPin& candidate) { return number && candidate.db25Pin == static_cast<int>(*number); });
    if (!number) {
        error = "bad keep-alive pin '" + std::string(pin) + "': a DB-25 pin number" + spareHint;
    } else if (wired == gpioPins.end()) {
        error = "keep-alive pin " + std::string(pin) + " refused: not an output of the parallel port" + spareHint;
    } else if (!wired->optional) {
        error = "keep-alive pin " + std::string(pin) + " refused: the pattern drives it (" + wired->signal + ")" +
                spareHint;
    } else {
        return KeepAlivePin{wired->db25Pin, static_cast<std::uint8_t>(1U << wired->bit), wired->signal};
    }
    return std::nullopt;
}

std::string keepAliveText(const KeepAlivePin& pin)
{
    return ", keep-alive on pin " + std::to_string(pin.db25Pin) + " (" + pin.signal + ")";
}

}  // namespace port::backend
