// Port selection: ppdev at 0x378 first, simulated as the fallback under auto
// where there is no parallel port; the chosen device locked for this program
// before the library opens it.
#include "port/backend/portselection.h"

#include "port/backend/gpioport.h"
#include "port/backend/gpiowiring.h"
#include "port/backend/hexvalue.h"
#include "port/backend/ieee1284port.h"
#include "port/backend/simulatedport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <optional>
#include <vector>

namespace port::backend {

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
// Ends every refusal of a port that is there but cannot be used: the
// operator may only have wanted to look at the program.
constexpr char simulatedHint[] = ", or use --port=simulated to try the program without the converter";

OpenedPort simulated(std::string description, KeepAlivePin keepAlive)
{
    if (keepAlive)
        description += keepAliveText(keepAlive);
    return OpenedPort{nullptr, std::make_unique<SimulatedPort>(keepAlive), std::move(description), {}};
}

OpenedPort refused(std::string reason)
{
    return OpenedPort{nullptr, nullptr, {}, std::move(reason)};
}

// What a device node answers when there is no port behind it: no node, no
// parport driver for it, or no hardware.
bool noPort(int error)
{
    return error == ENOENT || error == ENODEV || error == ENXIO;
}

// A node that would not open, with the remedy for a port that is there: a
// group joined only counts from the next login, and a busy node is held by
// some other program.
std::string nodeProblem(const std::string& path, int error)
{
    if (error == EACCES || error == EPERM)
        return path + ": " + std::strerror(error) + "; add the user to group lp and log in again";
    if (error == EBUSY)
        return path + ": " + std::strerror(error) + "; close the other program that uses the port";
    return deviceProblem(path, error);
}

// Why the port could not be had: a port that is not there (only this may
// fall back to the simulated port), or one that is there and cannot be used.
struct Problem {
    std::string reason;
    bool portThere = false;
};

}  // namespace

OpenedPort openPort(std::string_view choice, std::string_view keepAlive)
{
    if (choice.starts_with(gpioChoicePrefix))
        return openGpioPort(choice, systemGpioApi(), keepAlive);
    return openPort(choice, systemIeee1284Api(), {}, keepAlive);
}

OpenedPort openGpioPort(std::string_view choice, const GpioApi& api, std::string_view keepAlive)
{
    std::string problem;
    std::optional<GpioChoice> parsed = parseGpioChoice(choice.substr(gpioChoicePrefix.size()), problem);
    if (!parsed)
        return refused(problem);
    parsed->keepAlive = std::string(keepAlive);
    try {
        auto opened = std::make_unique<GpioPort>(api, *parsed);
        std::string description = opened->description();
        return OpenedPort{nullptr, std::move(opened), std::move(description), {}};
    } catch (const PortError& error) {
        return refused(error.what());
    } catch (const std::exception& error) {
        return refused(std::string("opening ") + std::string(choice) + " failed: " + error.what());
    }
}

OpenedPort openPort(std::string_view choice, const Ieee1284Api& api)
{
    return openPort(choice, api, {});
}

OpenedPort openPort(std::string_view choice, const Ieee1284Api& api, const std::string& deviceRoot,
                    std::string_view keepAlive)
{
    KeepAlivePin keepAlivePin;
    if (!keepAlive.empty()) {
        std::string problem;
        const std::optional<KeepAlivePin> pin = parallelKeepAlivePin(keepAlive, problem);
        if (!pin)
            return refused(problem);
        keepAlivePin = *pin;
    }
    if (choice == simulatedChoice)
        return simulated("Port: simulated (chosen with --port=simulated)", keepAlivePin);
    const bool automatic = choice.empty() || choice == autoChoice;
    const std::string device(automatic ? usualDevice : choice);
    // Whoever names a device means to drive it, and so does whoever has a
    // port that only needs a permission or another program closed: running
    // on a simulated port instead would look like a running motor.
    const auto unusable = [&](const Problem& problem) {
        if (problem.portThere)
            return refused(problem.reason + simulatedHint);
        return automatic ? simulated("Port: simulated — no parallel port (" + problem.reason + ")", keepAlivePin)
                         : refused(problem.reason);
    };

    std::vector<Ieee1284Api::FoundPort> ports;
    void* rawList = nullptr;
    std::string listingProblem;
    try {
        if (const int found = api.findPorts(ports, rawList); found < 0)
            listingProblem = "listing parallel ports failed: " + ieee1284ErrorText(found);
    } catch (const std::exception& error) {
        listingProblem = std::string("listing parallel ports failed: ") + error.what();
    }
    if (!listingProblem.empty())
        ports.clear();
    const std::shared_ptr<void> list(rawList, [&api](void* held) {
        if (held)
            api.freePorts(held);
    });

    std::vector<Ieee1284Api::FoundPort> candidates;
    for (const auto& entry : ports) {
        const bool ppdev = entry.filename.starts_with(ppdevPrefix);
        if (automatic ? (ppdev && entry.baseAddress == dataPort) : entry.filename == device)
            candidates.push_back(entry);
    }

    // A device listed at several bases (/dev/port): the program's 0x378 first.
    std::stable_partition(candidates.begin(), candidates.end(),
                          [](const Ieee1284Api::FoundPort& entry) { return entry.baseAddress == dataPort; });

    // The first reason met; one of a port that is there outranks one of a
    // port that is not.
    std::optional<Problem> problem;
    const auto note = [&problem](Problem found) {
        if (!problem || (found.portThere && !problem->portThere))
            problem = std::move(found);
    };
    for (const auto& candidate : candidates) {
        if (const int error = api.checkDevice(candidate.filename); error != 0) {
            note({nodeProblem(candidate.filename, error), !noPort(error)});
            continue;
        }
        // Locked before the library opens the node, so a second program
        // stops here, before it has done anything to the port.
        auto lock = std::make_unique<PortLock>();
        if (!lock->acquire(deviceRoot + candidate.filename)) {
            if (lock->inUse())
                return refused(lock->reason() + simulatedHint);
            note({lock->reason(), true});
            continue;
        }
        try {
            auto opened = std::make_unique<Ieee1284Port>(api, list, candidate, keepAlivePin);
            const std::string base = hexValue(static_cast<unsigned>(opened->baseAddress()));
            return OpenedPort{std::move(lock), std::move(opened),
                              "Port: " + candidate.filename + " (" + base + ")" +
                                  (keepAlivePin ? keepAliveText(keepAlivePin) : ""),
                              {}};
        } catch (const PortError& error) {
            // Listed and its node opens: the port is there.
            note({error.what(), true});
        }
    }
    if (!problem) {
        // Nothing usable listed: say what the device node itself answers.
        const int error = api.checkDevice(device);
        if (error != 0 && noPort(error))
            problem = Problem{deviceProblem(device, error) + (!automatic && error == ENOENT ? namedDeviceHint : ""),
                              false};
        else if (error != 0)
            problem = Problem{nodeProblem(device, error), true};
        else if (!listingProblem.empty())
            problem = Problem{listingProblem, true};
        else if (automatic)
            problem = Problem{device + ": not a parallel port listed by libieee1284 at " + hexValue(dataPort), false};
        else
            problem = Problem{device + ": not a parallel port listed by libieee1284" + namedDeviceHint, false};
    }
    return unusable(*problem);
}

}  // namespace port::backend
