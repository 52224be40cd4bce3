// Records each write after the port underneath has taken it.
#include "port/recordedport.h"

#include <chrono>

namespace port {

RecordedPort::RecordedPort(Port& target, std::size_t recordCapacity)
    : target_(target), record_(recordCapacity)
{
}

void RecordedPort::out(std::uint16_t address, std::uint8_t value)
{
    target_.out(address, value);
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    record_.add(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count(), address, value);
}

std::uint8_t RecordedPort::in(std::uint16_t address)
{
    return target_.in(address);
}

std::string RecordedPort::name() const
{
    return target_.name();
}

}  // namespace port
