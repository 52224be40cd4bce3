// The keep-alive pin (--keep-alive=PIN) of a parallel port, and of the
// simulated port that stands in for one: a control line the pattern leaves
// alone, which the step thread toggles while the program is alive and its
// step path healthy, so that a circuit beside the converter holds the power
// stage enabled only while the square wave goes on (docs/wiring.md). Which
// pins may serve and how they are named; the pins' facts (register bit,
// inversion) are gpioPins', the one table of the DB-25 pins.
#ifndef PORT_BACKEND_KEEPALIVEPIN_H
#define PORT_BACKEND_KEEPALIVEPIN_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace port::backend {

// Not a register: the keep-alive's writes are recorded and logged under this
// address, apart from the pattern's, so that no reader takes a toggle for a
// pattern write. The value is the keep-alive's bit as written, 0 or 1.
inline constexpr std::uint16_t keepAliveAddress = 0x0000;

struct KeepAlivePin {
    int db25Pin = 0;               // 0: none wired
    std::uint8_t controlBit = 0;   // its bit of the control register
    const char* signal = "";       // "C0", "C2" or "C3"

    explicit operator bool() const noexcept { return controlBit != 0; }
    // The control byte a port puts on its register for the program's value:
    // the keep-alive's bit as it stands, every other bit as the program wrote it.
    constexpr std::uint8_t merged(std::uint8_t control, bool set) const noexcept
    {
        return static_cast<std::uint8_t>((control & ~controlBit) | (set ? controlBit : 0));
    }
};

// "1", "16" or "17": C0, C2 or C3, the control lines the pattern leaves alone.
// Anything else: nothing, and error says why in one line, with the value.
std::optional<KeepAlivePin> parallelKeepAlivePin(std::string_view pin, std::string& error);

// ", keep-alive on pin 1 (C0)", for the port's description.
std::string keepAliveText(const KeepAlivePin& pin);

}  // namespace port::backend

#endif  // PORT_BACKEND_KEEPALIVEPIN_H
