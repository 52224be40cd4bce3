// Simulated back end: registers in memory.
#include "port/simulatedport.h"

#include "port/crashguard.h"
#include "port/hexvalue.h"
#include "port/steppattern.h"

namespace port {

static_assert(std::atomic<std::uint8_t>::is_always_lock_free);

SimulatedPort::~SimulatedPort()
{
    CrashGuard::forget(*this);
}

void SimulatedPort::out(std::uint16_t address, std::uint8_t value)
{
    const CrashGuard::WritePermit permit;
    if (!permit)
        return;  // a crash handler has left the port idle: nothing may follow
    if (address == dataPort)
        data_.store(value, std::memory_order_relaxed);
    else if (address == controlPort)
        control_.store(value, std::memory_order_relaxed);
    else
        throw PortError("writing " + hexValue(value) + " to " + hexValue(address) +
                        " failed: not a writable register of the simulated port; use " +
                        hexValue(dataPort) + " or " + hexValue(controlPort));
}

std::uint8_t SimulatedPort::in(std::uint16_t address)
{
    if (address == dataPort)
        return data_.load(std::memory_order_relaxed);
    if (address == controlPort)
        return control_.load(std::memory_order_relaxed);
    if (address == statusPort)
        return unconnectedStatus;
    throw PortError("reading " + hexValue(address) +
                    " failed: not a register of the simulated port; use " + hexValue(dataPort) +
                    ", " + hexValue(statusPort) + " or " + hexValue(controlPort));
}

std::string SimulatedPort::name() const
{
    return "simulated";
}

void SimulatedPort::writeIdleFromSignalHandler() noexcept
{
    data_.store(idleData, std::memory_order_relaxed);
    control_.store(idleControl, std::memory_order_relaxed);
}

}  // namespace port
