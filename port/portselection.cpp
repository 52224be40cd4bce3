// Port selection: ppdev at 0x378 first, simulated as the fallback under auto;
// the chosen device locked for this program before the library opens it.
#include "port/portselection.h"

#include "port/hexvalue.h"
#include "port/ieee1284port.h"
#include "port/simulatedport.h"

#include <algorithm>
#include <cerrno>
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
constexpr char namedDeviceHint[] = "; check the name, or use --port=auto";

OpenedPort simulated(std::string description)
{
    return OpenedPort{nullptr, std::make_unique<SimulatedPort>(), std::move(description), {}};
}

OpenedPort refused(std::string reason)
{
    return OpenedPort{nullptr, nullptr, {}, std::move(reason)};
}

}  // namespace

OpenedPort openPort(std::string_view choice)
{
    return openPort(choice, systemIeee1284Api(), {});
}

OpenedPort openPort(std::string_view choice, const Ieee1284Api& api)
{
    return openPort(choice, api, {});
}

OpenedPort openPort(std::string_view choice, const Ieee1284Api& api, const std::string& deviceRoot)
{
    if (choice == simulatedChoice)
        return simulated("Port: simulated (chosen with --port=simulated)");
    const bool automatic = choice.empty() || choice == autoChoice;
    const std::string device(automatic ? usualDevice : choice);
    // Whoever names a device means to drive it: running on a simulated port
    // instead would look like a running motor.
    const auto unusable = [&](const std::string& reason) {
        return automatic ? simulated("Port: simulated — no parallel port (" + reason + ")") : refused(reason);
    };

    std::vector<Ieee1284Api::FoundPort> ports;
    void* rawList = nullptr;
    int found = 0;
    try {
        found = api.findPorts(ports, rawList);
    } catch (const std::exception& error) {
        return unusable(std::string("listing parallel ports failed: ") + error.what());
    }
    if (found < 0)
        return unusable("listing parallel ports failed: " + ieee1284ErrorText(found));
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
                reason = deviceProblem(candidate.filename, error);
            continue;
        }
        // Locked before the library opens the node, so a second program
        // stops here, before it has done anything to the port.
        auto lock = std::make_unique<PortLock>();
        if (!lock->acquire(deviceRoot + candidate.filename)) {
            if (lock->inUse())
                return refused(lock->reason());
            if (reason.empty())
                reason = lock->reason();
            continue;
        }
        try {
            auto opened = std::make_unique<Ieee1284Port>(api, list, candidate);
            const std::string base = hexValue(static_cast<unsigned>(opened->baseAddress()));
            return OpenedPort{std::move(lock), std::move(opened), "Port: " + candidate.filename + " (" + base + ")",
                              {}};
        } catch (const PortError& error) {
            if (reason.empty())
                reason = error.what();
        }
    }
    if (reason.empty()) {
        // Nothing listed: say what the device node itself answers.
        const int error = api.checkDevice(device);
        if (error != 0)
            reason = deviceProblem(device, error) + (!automatic && error == ENOENT ? namedDeviceHint : "");
        else if (automatic)
            reason = device + ": not a parallel port listed by libieee1284 at " + hexValue(dataPort);
        else
            reason = device + ": not a parallel port listed by libieee1284" + namedDeviceHint;
    }
    return unusable(reason);
}

}  // namespace port
