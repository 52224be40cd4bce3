// Simulated back end: registers in memory.
#include "port/backend/simulatedport.h"

#include "port/backend/crashguard.h"
#include "port/backend/hexvalue.h"
#include "port/pattern/steppattern.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>

namespace port::backend {

static_assert(std::atomic<std::uint8_t>::is_always_lock_free);

SimulatedPort::~SimulatedPort()
{
    CrashGuard::forget(*this);
    if (logFd_ >= 0)
        ::close(logFd_);
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
    log(address, value);
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
    data_.store(pattern::idleData, std::memory_order_relaxed);
    log(dataPort, pattern::idleData);
    control_.store(pattern::idleControl, std::memory_order_relaxed);
    log(controlPort, pattern::idleControl);
}

void SimulatedPort::writeKeepAlive(bool set)
{
    const CrashGuard::WritePermit permit;
    if (!permit || !keepAlivePin_)
        return;
    keepAlive_.store(set, std::memory_order_relaxed);
    log(keepAliveAddress, set ? 1 : 0);
}

void SimulatedPort::logWritesTo(int fd) noexcept
{
    logFd_ = fd;
}

// A log that cannot be written does not stop a run: it is no part of the port.
void SimulatedPort::log(std::uint16_t address, std::uint8_t value) const noexcept
{
    if (logFd_ < 0)
        return;
    constexpr unsigned byteBits = 8;
    constexpr std::uint16_t lowByte = 0xFF;
    constexpr std::size_t recordSize = 3;
    const std::array<unsigned char, recordSize> record{static_cast<unsigned char>(address & lowByte),
                                              static_cast<unsigned char>(address >> byteBits), value};
    const int savedErrno = errno;  // a signal handler's caller may be reading it
    while (::write(logFd_, record.data(), record.size()) < 0 && errno == EINTR) {
    }
    errno = savedErrno;
}

}  // namespace port::backend
