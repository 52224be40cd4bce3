// The GPIO choice (gpio:CHIP:LINES) taken apart, and the facts of the pins checked at
// compile time against the idle pair.
#include "port/backend/gpiowiring.h"

#include "port/pattern/steppattern.h"

#include <algorithm>
#include <charconv>
#include <vector>

namespace port::backend {

namespace {

constexpr const GpioPin& pinOf(const char* signal)
{
    for (const GpioPin& pin : gpioPins)
        if (std::string_view(pin.signal) == signal)
            return pin;
    throw "no such pin";  // a compile-time error where it is used in a constant
}

// The levels the idle pair leaves, which the request's initial values give
// the lines at start: all data lines low, pin 14 low, pins 1 and 17 high,
// pin 16 low.
static_assert(!gpioPinLevel(pinOf("C1"), pattern::idleData, pattern::idleControl));
static_assert(gpioPinLevel(pinOf("C0"), pattern::idleData, pattern::idleControl));
static_assert(!gpioPinLevel(pinOf("C2"), pattern::idleData, pattern::idleControl));
static_assert(gpioPinLevel(pinOf("C3"), pattern::idleData, pattern::idleControl));
static_assert(std::ranges::none_of(gpioPins, [](const GpioPin& pin) {
    return pin.address == dataPort && gpioPinLevel(pin, pattern::idleData, pattern::idleControl);
}));
// The pins the pattern moves come first and are never optional.
static_assert(std::ranges::none_of(gpioPins.begin(), gpioPins.begin() + gpioRequiredPins,
                                   [](const GpioPin& pin) { return pin.optional; }));
static_assert(pinOf("C1").bit == pattern::controlLineBit);

constexpr char lineListForm[] =
    "give 9 lines (D0-D7, C1) or 12 (then pins 1, 16 and 17, '-' for one not wired), "
    "each an offset or a line name, separated by commas";

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    for (;;) {
        const std::size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos)
            return parts;
        text.remove_prefix(at + 1);
    }
}

}  // namespace

std::optional<unsigned> gpioLineOffset(std::string_view line)
{
    unsigned offset = 0;
    const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), offset);
    if (line.empty() || error != std::errc() || end != line.data() + line.size())
        return std::nullopt;
    return offset;
}

std::optional<GpioChoice> parseGpioChoice(std::string_view choice, std::string& error)
{
    const std::size_t colon = choice.find(':');
    GpioChoice parsed;
    parsed.chip = std::string(choice.substr(0, colon));
    if (parsed.chip.empty()) {
        error = "no GPIO chip named in 'gpio:" + std::string(choice) +
                "': use gpio:CHIP or gpio:CHIP:LINES, CHIP being /dev/gpiochipN, gpiochipN or the chip's label";
        return std::nullopt;
    }
    if (colon == std::string_view::npos) {
        for (std::size_t index = 0; index < gpioRequiredPins; ++index)
            parsed.lines[index] = gpioPins[index].piLine;
        return parsed;
    }
    const std::string_view lineList = choice.substr(colon + 1);
    const std::vector<std::string_view> lines = split(lineList, ',');
    const auto bad = [&](const std::string& why) {
        error = "bad GPIO lines '" + std::string(lineList) + "': " + why + "; " + lineListForm;
        return std::nullopt;
    };
    if (lines.size() != gpioRequiredPins && lines.size() != gpioPinCount)
        return bad(std::to_string(lines.size()) + (lines.size() == 1 ? " line" : " lines"));
    for (std::size_t index = 0; index < lines.size(); ++index) {
        const std::string_view line = lines[index];
        const GpioPin& pin = gpioPins[index];
        if (line.empty())
            return bad(std::string("no line for ") + pin.signal);
        if (line == unwiredLine) {
            if (!pin.optional)
                return bad(std::string(pin.signal) + " must be wired");
            continue;
        }
        for (std::size_t earlier = 0; earlier < index; ++earlier)
            if (lines[earlier] == line)
                return bad("line " + std::string(line) + " named twice (" + gpioPins[earlier].signal + " and " +
                           pin.signal + ")");
        parsed.lines[index] = std::string(line);
    }
    return parsed;
}

}  // namespace port::backend
