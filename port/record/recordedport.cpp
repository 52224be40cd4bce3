// Records each write after the port underneath has taken it.
#include "port/record/recordedport.h"

#include "port/backend/crashguard.h"
#include "port/backend/keepalivepin.h"

#include <chrono>

namespace port::record {

namespace {

std::int64_t steadyNanoseconds() noexcept
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

RecordedPort::RecordedPort(backend::Port& target, std::size_t recordCapacity)
    : target_(target), record_(recordCapacity), keepAliveRecord_(target.keepAlive() ? keepAliveCapacity : 0)
{
}

RecordedPort::~RecordedPort()
{
    backend::CrashGuard::forget(*this);
}

void RecordedPort::out(std::uint16_t address, std::uint8_t value)
{
    // Held over the record too, so that no write is half recorded when a
    // crash handler takes over the port.
    const backend::CrashGuard::WritePermit permit;
    if (!permit)
        return;  // nothing may follow; the sequencer's permit around its pair learns why (taken over, or sealed)
    target_.out(address, value);
    record_.add(steadyNanoseconds(), address, value);
}

bool RecordedPort::keepAlive() const noexcept
{
    return target_.keepAlive();
}

void RecordedPort::writeKeepAlive(bool set)
{
    const backend::CrashGuard::WritePermit permit;
    if (!permit || !target_.keepAlive())
        return;
    target_.writeKeepAlive(set);
    keepAliveRecord_.add(steadyNanoseconds(), backend::keepAliveAddress, set ? 1 : 0);
}

std::uint8_t RecordedPort::in(std::uint16_t address)
{
    return target_.in(address);
}

void RecordedPort::check()
{
    target_.check();
}

std::string RecordedPort::name() const
{
    return target_.name();
}

// Not recorded: the record has one writer, and a crash handler would be a
// second one whenever its wait for the step thread's write runs out. Nobody
// reads the record of a process that is about to die, and the target may
// not even be able to write (a port never claimed), so the record could not
// say whether the pair reached the registers.
void RecordedPort::writeIdleFromSignalHandler() noexcept
{
    target_.writeIdleFromSignalHandler();
}

}  // namespace port::record
