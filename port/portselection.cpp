// Port selection: ppdev at 0x378 first, simulated as the fallback.
#include "port/portselection.h"

#include "port/hexvalue.h"
#include "port/ieee1284port.h"
#include "port/simulatedport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <vector>

namespace port {

namespace {

// ppdev nodes; the library also lists /dev/port entries (raw I/O), and lists
// them even without any parallel port in the kernel, so those phantoms are
// never taken automatically: only a ppdev port can be told usable without
// touching it.
constexpr std::string_view ppdevPrefix = "/dev/parport";
constexpr std::string_view usualDevice = "/dev/parport0";
constexpr std::string_view simulatedChoice = "simulated";
constexpr std::string_view autoChoice = "auto";

std::string deviceReason(const std::string& path, int error)
{
    std::string reason = path + ": " + std::strerror(error);
    if (error == EACCES || error == EPERM)
        reason += "; add the user to group lp";
    return reason;
}

OpenedPort simulated(std::string description)
{
    return OpenedPort{std::make_unique<SimulatedPort>(), std::move(description)};
}

}  // namespace

OpenedPort openPort(std::string_view choice)
{
    return openPort(choice, systemIeee1284Api());
}

OpenedPort openPort(std::string_view choice, const Ieee1284Api& api)
{
    if (choice == simulatedChoice)
        return simulated("Port: simulated (chosen with --port=simulated)");
    const bool automatic = choice.empty() || choice == autoChoice;
    const std::string device(automatic ? usualDevice : choice);
    const auto fallback = [&](const std::string& reason) {
        return simulated(automatic ? "Port: simulated — no parallel port (" + reason + ")"
                                   : "Port: simulated — " + device + " not usable (" + reason + ")");
    };

    std::vector<Ieee1284Api::FoundPort> ports;
    void* rawList = nullptr;
    int found = 0;
    try {
        found = api.findPorts(ports, rawList);
    } catch (const std::exception& error) {
        return fallback(std::string("listing parallel ports failed: ") + error.what());
    }
    if (found < 0)
        return fallback("listing parallel ports failed: " + ieee1284ErrorText(found));
    const std::shared_ptr<void> list(rawList, [&api](void* held) { api.freePorts(held); });

    std::vector<Ieee1284Api::FoundPort> candidates;
    for (const auto& entry : ports) {
        const bool ppdev = entry.filename.starts_with(ppdevPrefix);
        if (automatic ? (ppdev && entry.baseAddress == dataPort) : entry.filename == device)
            candidates.push_back(entry);
    }

    // A device listed at several bases (/dev/port): the program's 0x378 first.
    std::stable_partition(candidates.begin(), candidates.end(),
                          [](const Ieee1284Api::FoundPort& entry) { return entry.baseAddress == dataPort; });

    std::string reason;
    for (const auto& candidate : candidates) {
        if (const int error = api.checkDevice(candidate.filename); error != 0) {
            if (reason.empty())
                reason = deviceReason(candidate.filename, error);
            continue;
        }
        try {
            auto opened = std::make_unique<Ieee1284Port>(api, list, candidate);
            const std::string base = hexValue(static_cast<unsigned>(opened->baseAddress()));
            return OpenedPort{std::move(opened), "Port: " + candidate.filename + " (" + base + ")"};
        } catch (const PortError& error) {
            if (reason.empty())
                reason = error.what();
        }
    }
    if (reason.empty()) {
        // Nothing listed: say what the device node itself answers.
        const int error = api.checkDevice(device);
        reason = error != 0 ? deviceReason(device, error)
                            : device + ": not a parallel port listed by libieee1284" +
                                  (automatic ? " at " + hexValue(dataPort) : std::string());
    }
    return fallback(reason);
}

}  // namespace port
