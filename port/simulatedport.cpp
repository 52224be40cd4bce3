// Simulated back end: registers in memory, every write recorded with its time.
#include "port/simulatedport.h"

#include "port/hexvalue.h"

#include <chrono>

namespace port {

SimulatedPort::SimulatedPort(std::size_t recordCapacity) : record_(recordCapacity) {}

void SimulatedPort::out(std::uint16_t address, std::uint8_t value)
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    if (address == dataPort)
        data_.store(value, std::memory_order_relaxed);
    else if (address == controlPort)
        control_.store(value, std::memory_order_relaxed);
    else
        throw PortError("writing " + hexValue(value) + " to " + hexValue(address) +
                        " failed: not a writable register of the simulated port; use " +
                        hexValue(dataPort) + " or " + hexValue(controlPort));
    record_.add(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count(), address, value);
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

const WriteRecord& SimulatedPort::record() const noexcept
{
    return record_;
}

}  // namespace port
