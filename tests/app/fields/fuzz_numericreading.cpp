// libFuzzer target for field reading and display: any bytes an operator could
// paste into a field must read without fault, and what is shown must read back.
#include "app/fields/fieldconversion.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

void require(bool holds)
{
    if (!holds)
        __builtin_trap();
}

bool sameBits(double a, double b)
{
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// x rounded to 15 significant digits; a rounding past the largest double
// reads as infinity, like a typed number that large.
double roundedTo15(double x)
{
    std::array<char, 48> buf{};
    const auto written = std::to_chars(buf.data(), buf.data() + buf.size(), x,
                                       std::chars_format::scientific, 14);
    double out = 0.0;
    const auto read = std::from_chars(buf.data(), written.ptr, out);
    if (read.ec == std::errc::result_out_of_range)
        return x < 0 ? -HUGE_VAL : HUGE_VAL;
    return out;
}

void checkShown(const std::string &text)
{
    require(!text.empty());
    require(text.find("inf") == std::string::npos);
    require(text.find("nan") == std::string::npos);
    require(text != "-0");
    require(text.rfind("-0", 0) != 0 || text.rfind("-0.", 0) == 0);
    require(text.back() != '.');
    const std::size_t point = text.find('.');
    if (point != std::string::npos) {
        const std::size_t end = text.find('E');
        const std::size_t last = (end == std::string::npos ? text.size() : end) - 1;
        require(last > point && text[last] != '0');
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const double reading = app::fields::numericReading(input);
    require(!std::isnan(reading));

    std::string squeezed;
    for (char c : input) {
        if (c != ' ' && c != '\t' && c != '\n')
            squeezed.push_back(c);
    }
    require(sameBits(reading, app::fields::numericReading(squeezed)));
    // A carriage return is never part of a number: what follows it is not read.
    require(sameBits(reading, app::fields::numericReading(input.substr(0, input.find('\r')))));

    const std::string shown = app::fields::displayText(reading, ".");
    if (std::isfinite(reading)) {
        checkShown(shown);
        const double back = app::fields::numericReading(shown);
        const double expected = roundedTo15(reading);
        require(back == expected || (back == 0.0 && expected == 0.0));
        // Shown numbers are stable: showing what was read back changes nothing.
        require(app::fields::displayText(back, ".") == shown || !std::isfinite(back));
    } else {
        require(shown == "overflow" || shown == "-overflow");
    }
    const std::string comma = app::fields::displayText(reading, ",");
    require(comma.find("inf") == std::string::npos && comma.find("nan") == std::string::npos && comma != "-0");
    return 0;
}
