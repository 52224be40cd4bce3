// What a GPIO port stands in for: the DB-25 pins of a parallel port, each
// fed by one bit of the data or control register, some inverted on the way
// as a PC's port inverts them, and which GPIO line takes each pin. Plain
// facts and plain parsing: no library, so the wiring is tested on its own.
//
// The converter sees levels, not register values. So the register values
// the run writes become levels only here and in GpioPort, by this one table:
// a GPIO line stands in for the pin, with the pin's level.
#ifndef PORT_BACKEND_GPIOWIRING_H
#define PORT_BACKEND_GPIOWIRING_H

#include "port/backend/port.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace port::backend {

// One pin of the DB-25 connector and where its level comes from.
struct GpioPin {
    const char* signal;     // the register bit's name: "D0".."D7", "C0".."C3"
    std::uint16_t address;  // dataPort or controlPort
    unsigned bit;           // of that register
    int db25Pin;
    // nStrobe (pin 1), nAutoFd (pin 14) and nSelectIn (pin 17) are inverted
    // in a PC's port hardware: a 1 in the register is a low pin.
    bool inverted;
    // The pattern moves D0-D7 and C1 only; the other three are held at
    // the levels a parallel port gives them and may be left unwired.
    bool optional;
    // The default wiring on a Raspberry Pi's 40-pin header: the line's
    // name on its GPIO chip and the header pin.
    const char* piLine;
    int piHeaderPin;
};

inline constexpr std::size_t gpioPinCount = 12;
inline constexpr std::size_t gpioRequiredPins = 9;  // D0-D7 and C1

// In the order the LINES of gpio:CHIP:LINES give them: D0-D7, C1, then pins 1, 16 and 17.
// The Pi's default leaves free I2C (GPIO2/3), SPI0 (GPIO7-11), the UART
// (GPIO14/15), the HAT ID EEPROM (GPIO0/1) and 1-Wire (GPIO4), and puts each
// pin on a line whose pull at power-on (GPIO0-8 up, the others down) gives
// it its idle level before the program runs. Lines are named, so that it
// holds on any Pi whose header chip names them GPIOn. The optional pins are
// requested only when the LINES name them; their suggested lines are listed.
inline constexpr std::array<GpioPin, gpioPinCount> gpioPins{{
    {"D0", dataPort, 0, 2, false, false, "GPIO17", 11},
    {"D1", dataPort, 1, 3, false, false, "GPIO18", 12},
    {"D2", dataPort, 2, 4, false, false, "GPIO27", 13},
    {"D3", dataPort, 3, 5, false, false, "GPIO22", 15},
    {"D4", dataPort, 4, 6, false, false, "GPIO23", 16},
    {"D5", dataPort, 5, 7, false, false, "GPIO24", 18},
    {"D6", dataPort, 6, 8, false, false, "GPIO25", 22},
    {"D7", dataPort, 7, 9, false, false, "GPIO12", 32},
    {"C1", controlPort, 1, 14, true, false, "GPIO13", 33},
    {"C0", controlPort, 0, 1, true, true, "GPIO5", 29},
    {"C2", controlPort, 2, 16, false, true, "GPIO16", 36},
    {"C3", controlPort, 3, 17, true, true, "GPIO6", 31},
}};

// The pin's level while the data register holds data and the control
// register control.
constexpr bool gpioPinLevel(const GpioPin& pin, std::uint8_t data, std::uint8_t control) noexcept
{
    const std::uint8_t value = pin.address == dataPort ? data : control;
    return (((value >> pin.bit) & 1U) != 0) != pin.inverted;
}

// "gpio:CHIP[:LINES]" taken apart. lines[i] stands in for gpioPins[i]: an
// offset ("17") or a line name ("GPIO17"); empty for an optional pin left
// unwired. keepAlive: the keep-alive's line of the same chip (--keep-alive),
// an offset or a name; empty for none.
struct GpioChoice {
    std::string chip;
    std::array<std::string, gpioPinCount> lines;
    std::string keepAlive;
};

inline constexpr std::string_view gpioChoicePrefix = "gpio:";
// A LINES entry for an optional pin that is not wired.
inline constexpr std::string_view unwiredLine = "-";

// choice without its "gpio:" prefix. Returns the choice, or sets error to
// one line saying what is wrong with it and how it is written. LINES left
// out: the Raspberry Pi's default (by line name, D0-D7 and C1 only).
std::optional<GpioChoice> parseGpioChoice(std::string_view choice, std::string& error);

// "17" -> 17; a name -> nothing.
std::optional<unsigned> gpioLineOffset(std::string_view line);

}  // namespace port::backend

#endif  // PORT_BACKEND_GPIOWIRING_H
