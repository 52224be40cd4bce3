// The commissioning file's keys, one table: each key's name and how its
// value is taken. A key of a later feature is one more row (and, where it
// depends on another key, one more line in the checks of the whole file).
#include "app/service/commissioning.h"

#include "app/remote/textline.h"
#include "port/backend/gpiowiring.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <array>
#include <cerrno>
#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace app::service {

namespace {

using remote::trimmed;

// What a client could write to 40003-40006 (the register map's limits and
// scales): a value the file fixes is one the registers can show.
struct RegisterRange {
    const char* unit;
    double scale;  // registers per unit
    remote::RegisterLimits limits;
};
constexpr RegisterRange ratedVoltageRange{"volts", remote::voltageScale, remote::limits::ratedVoltage};
constexpr RegisterRange ratedSpeedRange{"rpm", 1.0, remote::limits::speed};
constexpr RegisterRange polesRange{"poles", 1.0, remote::limits::poles};
constexpr RegisterRange voltsPerHertzRange{"V/Hz", remote::voltsPerHertzScale, remote::limits::voltsPerHertz};
constexpr RegisterRange timeoutRange{"milliseconds", 1.0,
                                     {static_cast<std::uint16_t>(remote::RegisterMap::shortestTimeout.count()),
                                      static_cast<std::uint16_t>(remote::RegisterMap::longestTimeout.count())}};

// Taken: empty. Refused: what is wrong with the value and how it is written.
using Take = std::string (*)(std::string_view value, Commissioning& into);

std::string quoted(std::string_view value)
{
    return "bad value '" + std::string(value) + "'";
}

std::optional<bool> yesOrNo(std::string_view value)
{
    if (value == "yes" || value == "on")
        return true;
    if (value == "no" || value == "off")
        return false;
    return std::nullopt;
}

// The value as a whole number of registers of range, read as the C locale
// reads numbers (a full stop, whatever the system's locale).
std::optional<double> registerValue(std::string_view value, const RegisterRange& range)
{
    double number = 0.0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (value.empty() || error != std::errc() || end != value.data() + value.size() || !std::isfinite(number))
        return std::nullopt;
    const double registers = number * range.scale;
    const double whole = std::round(registers);
    if (std::abs(registers - whole) > 1e-6 || whole < 0 || whole > 65535 ||
        !range.limits.take(static_cast<std::uint16_t>(whole)))
        return std::nullopt;
    return whole / range.scale;
}

std::string rangeHint(const RegisterRange& range)
{
    std::ostringstream hint;
    hint.imbue(std::locale::classic());
    hint << ": give " << range.unit << " from " << range.limits.lowest / range.scale << " to "
         << range.limits.highest / range.scale;
    if (range.scale != 1.0)
        hint << " in steps of " << 1.0 / range.scale;
    else if (range.limits.step != 1)
        hint << ", even";
    return hint.str();
}

std::string takePort(std::string_view value, Commissioning& into)
{
    if (value == "auto")
        return quoted(value) + ": auto falls back to the simulated port where it finds none; name the port "
                               "(/dev/parportN or gpio:CHIP[:LINES]), or simulated to try the service";
    if (value.starts_with(port::backend::gpioChoicePrefix)) {
        std::string problem;
        if (!port::backend::parseGpioChoice(value.substr(port::backend::gpioChoicePrefix.size()), problem))
            return quoted(value) + ": " + problem;
    } else if (value != "simulated" && !value.starts_with("/dev/")) {
        return quoted(value) + ": use a device such as /dev/parport0, gpio:CHIP[:LINES], or simulated";
    }
    into.port = value;
    return {};
}

std::string takeListen(std::string_view value, Commissioning& into)
{
    if (value == "off") {
        into.listen.reset();
        return {};
    }
    const std::optional<remote::Endpoint> endpoint = remote::parseEndpoint(value);
    if (!endpoint)
        return quoted(value) + ": give an IPv4 address and a port, such as 127.0.0.1:1502, or off";
    into.listen = *endpoint;
    return {};
}

std::string takeKeepAlive(std::string_view value, Commissioning& into)
{
    if (value.empty())
        return quoted(value) + ": give pin 1, 16 or 17 of a parallel or the simulated port, or a line of the "
                               "GPIO chip";
    into.keepAlive = value;
    return {};
}

remote::SecureListen& secure(Commissioning& into)
{
    if (!into.secure)
        into.secure.emplace();
    return *into.secure;
}

std::string takeSecureListen(std::string_view value, Commissioning& into)
{
    const std::optional<remote::Endpoint> endpoint = remote::parseEndpoint(value, remote::SecureListen::defaultPort);
    if (!endpoint)
        return quoted(value) + ": give an IPv4 address and optionally a port, such as 0.0.0.0:802";
    secure(into).endpoint = *endpoint;
    return {};
}

template <std::string remote::TlsFiles::*member>
std::string takeTlsFile(std::string_view value, Commissioning& into)
{
    if (value.empty())
        return quoted(value) + ": give the file's path";
    secure(into).files.*member = value;
    return {};
}

std::string takeInsecure(std::string_view value, Commissioning& into)
{
    const std::optional<bool> yes = yesOrNo(value);
    if (!yes)
        return quoted(value) + ": give yes or no";
    into.insecure = *yes;
    return {};
}

std::string takeRemoteControl(std::string_view value, Commissioning& into)
{
    const std::optional<bool> on = yesOrNo(value);
    if (!on)
        return quoted(value) + ": give on or off";
    into.remoteControl = *on;
    return {};
}

std::string takeTimeout(std::string_view value, Commissioning& into)
{
    const std::optional<double> milliseconds = registerValue(value, timeoutRange);
    if (!milliseconds)
        return quoted(value) + rangeHint(timeoutRange);
    into.communicationLossTimeout = std::chrono::milliseconds(static_cast<long>(*milliseconds));
    return {};
}

template <const RegisterRange& range, std::optional<double> MotorValues::*member>
std::string takeMotorValue(std::string_view value, Commissioning& into)
{
    const std::optional<double> taken = registerValue(value, range);
    if (!taken)
        return quoted(value) + rangeHint(range);
    into.motor.*member = taken;
    return {};
}

struct Key {
    std::string_view name;
    Take take;
};

constexpr std::array keys{
    Key{"port", takePort},
    Key{"keep-alive", takeKeepAlive},
    Key{"listen", takeListen},
    Key{"insecure", takeInsecure},
    Key{"tls-listen", takeSecureListen},
    Key{"tls-certificate", takeTlsFile<&remote::TlsFiles::certificate>},
    Key{"tls-key", takeTlsFile<&remote::TlsFiles::key>},
    Key{"tls-ca", takeTlsFile<&remote::TlsFiles::authorities>},
    Key{"roles", takeTlsFile<&remote::TlsFiles::roles>},
    Key{"remote-control", takeRemoteControl},
    Key{"communication-loss-timeout", takeTimeout},
    Key{"rated-voltage", takeMotorValue<ratedVoltageRange, &MotorValues::ratedVoltage>},
    Key{"rated-speed", takeMotorValue<ratedSpeedRange, &MotorValues::ratedSpeed>},
    Key{"poles", takeMotorValue<polesRange, &MotorValues::poles>},
    Key{"volts-per-hertz", takeMotorValue<voltsPerHertzRange, &MotorValues::voltsPerHertz>},
};

std::string keyList()
{
    std::string list;
    for (const Key& key : keys)
        list += (list.empty() ? "" : ", ") + std::string(key.name);
    return list;
}

bool loopback(const remote::Endpoint& endpoint)
{
    in_addr address{};
    inet_pton(AF_INET, endpoint.address.c_str(), &address);
    return (ntohl(address.s_addr) >> 24) == 127;  // 127.0.0.0/8
}

}  // namespace

CommissioningRead parseCommissioning(std::string_view text, const std::string& path)
{
    const auto failed = [&path](int line, std::string_view key, const std::string& why) {
        return CommissioningRead{std::nullopt,
                                 path + ":" + std::to_string(line) + ": " + std::string(key) + ": " + why};
    };
    Commissioning commissioning;
    std::map<std::string_view, int> lineOf;
    int number = 0;
    while (!text.empty()) {
        ++number;
        const std::size_t end = text.find('\n');
        const std::string_view line = trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty() || line.starts_with('#'))
            continue;
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            return failed(number, trimmed(line), "not a 'key = value' line");
        const std::string_view name = trimmed(line.substr(0, equals));
        const std::string_view value = trimmed(line.substr(equals + 1));
        const Key* key = nullptr;
        for (const Key& known : keys)
            if (known.name == name)
                key = &known;
        if (!key)
            return failed(number, name, "unknown key; the keys are " + keyList());
        if (const auto earlier = lineOf.find(key->name); earlier != lineOf.end())
            return failed(number, name, "given again (first on line " + std::to_string(earlier->second) + ")");
        if (std::string why = key->take(value, commissioning); !why.empty())
            return failed(number, name, why);
        lineOf[key->name] = number;
    }

    if (commissioning.port.empty())
        return {std::nullopt, path + ": port: missing; name the port the converter is wired to, such as "
                                     "port = /dev/parport0 or port = gpio:gpiochip0"};
    if (commissioning.secure) {
        // A file without tls-listen, or tls-listen without its files.
        if (!lineOf.contains("tls-listen")) {
            const auto first = std::ranges::min_element(lineOf, {}, [](const auto& key) {
                return key.first.starts_with("tls-") || key.first == "roles" ? key.second : INT_MAX;
            });
            return failed(first->second, first->first, "needs tls-listen, where Modbus/TCP Security listens");
        }
        for (const std::string_view file : {"tls-certificate", "tls-key", "tls-ca", "roles"})
            if (!lineOf.contains(file))
                return failed(lineOf["tls-listen"], "tls-listen", "needs " + std::string(file));
    }
    if (!commissioning.listen && !commissioning.secure)
        return failed(lineOf["listen"], "listen", "off, and no tls-listen: no client could reach the converter");
    if (commissioning.listen && !loopback(*commissioning.listen) && !commissioning.insecure)
        return failed(lineOf["listen"], "listen",
                      commissioning.listen->text() + " is not a loopback address, and Modbus TCP has no "
                      "authentication: anyone who reaches it may run the motor; add 'insecure = yes' to "
                      "listen there anyway");
    return {commissioning, {}};
}

CommissioningRead readCommissioning(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        const int error = errno;
        return {std::nullopt, path + ": cannot be read: " + std::strerror(error) +
                                  (path == defaultCommissioningPath ? "; write it (see docs/headless.md) or name "
                                                                      "another with --config=FILE"
                                                                    : "")};
    }
    std::ostringstream content;
    content << file.rdbuf();
    return parseCommissioning(content.str(), path);
}

}  // namespace app::service
