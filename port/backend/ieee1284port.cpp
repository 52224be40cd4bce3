// libieee1284 back end: exclusive open, lazy claim, raw register values.
#include "port/backend/ieee1284port.h"

#include "port/backend/crashguard.h"
#include "port/backend/hexvalue.h"
#include "port/pattern/steppattern.h"

#include <cstring>
#include <ieee1284.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

namespace port::backend {

static_assert(Ieee1284Port::exclusiveAccess == F1284_EXCL);
static_assert(Ieee1284Port::invertedControlLines == C1284_INVERTED);
static_assert(Ieee1284Port::invertedStatusLines == S1284_INVERTED);
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<std::uint8_t>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

// nStrobe, nAutoFd, nInit, nSelectIn: the control register's output lines.
// The crash handler's control byte must stay within them: bit 5 would make
// parport_pc turn the data lines around to input, and the other bits drive
// no line.
constexpr std::uint8_t controlLines = 0x0F;
static_assert((pattern::idleControl & ~controlLines) == 0);

namespace {
constexpr const char* accessHint = "check the cable and that no printer driver holds it; "
                                   "add the user to group lp";
}  // namespace

Ieee1284Port::Ieee1284Port(const Ieee1284Api& api, std::shared_ptr<void> list,
                           Ieee1284Api::FoundPort found, KeepAlivePin keepAlive)
    : api_(api), list_(std::move(list)), found_(std::move(found)), keepAlivePin_(keepAlive),
      control_(pattern::idleControl)
{
    const int result = api_.open(found_.handle, exclusiveAccess);
    if (result < 0)
        throw PortError("opening " + name() + " (" + hexValue(static_cast<unsigned>(found_.baseAddress)) +
                        ") failed: " + ieee1284ErrorText(result) + "; " + accessHint);
    state_ = State::Open;
}

Ieee1284Port::~Ieee1284Port()
{
    CrashGuard::forget(*this);
    close();
}

void Ieee1284Port::close() noexcept
{
    // First, so that a crash handler from now on writes nothing: after the
    // release ppdev refuses the writes, and after the close the number may
    // belong to another file.
    signalFd_.store(-1, std::memory_order_release);
    if (state_ == State::Claimed)
        api_.release(found_.handle);
    if (state_ != State::Closed)
        api_.close(found_.handle);
    state_ = State::Closed;
}

void Ieee1284Port::claimOnce()
{
    if (state_ == State::Claimed)
        return;
    if (state_ == State::Closed)
        throw PortError("using " + name() + " failed: the port is closed; restart the program");
    const int result = api_.claim(found_.handle);
    if (result < 0)
        throw PortError("claiming " + name() + " failed: " + ieee1284ErrorText(result) + "; " +
                        accessHint);
    state_ = State::Claimed;
    signalFd_.store(api_.ppdevFd(found_.handle), std::memory_order_release);
}

void Ieee1284Port::out(std::uint16_t address, std::uint8_t value)
{
    checkWritable(address, value, name());
    const CrashGuard::WritePermit permit;
    if (!permit)
        return;  // a crash handler has left the port idle: nothing may follow
    claimOnce();
    if (address == dataPort) {
        api_.writeData(found_.handle, value);
        return;
    }
    writeControl(value, keepAliveSet_.load(std::memory_order_relaxed));
    control_.store(value, std::memory_order_relaxed);
}

void Ieee1284Port::writeKeepAlive(bool set)
{
    const CrashGuard::WritePermit permit;
    if (!permit || !keepAlivePin_)
        return;
    claimOnce();
    writeControl(control_.load(std::memory_order_relaxed), set);
    keepAliveSet_.store(set, std::memory_order_relaxed);
}

void Ieee1284Port::writeControl(std::uint8_t value, bool keepAliveSet)
{
    api_.writeControl(found_.handle,
                      static_cast<std::uint8_t>(keepAlivePin_.merged(value, keepAliveSet) ^ invertedControlLines));
}

// Not a read-back of a register: through ppdev it never fails and proves
// nothing. parport_pc answers a control read from its own copy of the last
// byte written, and once the port has been removed (parport_remove_port) the
// kernel's dead operations take writes and read 0, without an error; 0 is
// also what the last step of every cycle writes. ppdev's PPGETMODES looks
// the port up by its number and answers ENODEV once it has gone.
void Ieee1284Port::check()
{
    if (state_ != State::Claimed)
        return;
    if (const int error = api_.checkPort(found_.handle); error != 0)
        throw PortError(name() + " stopped answering: the kernel no longer has the port (" + std::strerror(error) +
                        "); check the cable or the adapter, then start the program again");
}

std::uint8_t Ieee1284Port::in(std::uint16_t address)
{
    if (address != dataPort && address != statusPort && address != controlPort)
        throw PortError("reading " + hexValue(address) + " on " + name() +
                        " failed: not a register of the port; use " + hexValue(dataPort) + ", " +
                        hexValue(statusPort) + " or " + hexValue(controlPort));
    claimOnce();
    int result = 0;
    std::uint8_t inverted = 0;
    if (address == dataPort) {
        result = api_.readData(found_.handle);
    } else if (address == statusPort) {
        result = api_.readStatus(found_.handle);
        inverted = invertedStatusLines;
    } else {
        result = api_.readControl(found_.handle);
        inverted = invertedControlLines;
    }
    if (result < 0)
        throw PortError("reading " + hexValue(address) + " on " + name() +
                        " failed: " + ieee1284ErrorText(result) + "; " + accessHint);
    return static_cast<std::uint8_t>(result ^ inverted);
}

// The control byte goes out as it is. The program's control values are raw
// register values; the kernel's parport_pc writes PPWCONTROL's byte to
// base + 2 as given (masked to the four control lines), so it takes the raw
// value. out() gets the same byte there the long way: it XORs
// invertedControlLines, and libieee1284 XORs them back before its own
// PPWCONTROL.
//
// Raw I/O (/dev/port, ioperm) gets nothing: the library keeps that
// descriptor to itself, and calling the library here could land in the
// middle of its own seek-and-write on /dev/port, putting the byte on another
// I/O port. Such a port keeps its last step after a crash.
void Ieee1284Port::writeIdleFromSignalHandler() noexcept
{
    const int fd = signalFd_.load(std::memory_order_acquire);
    if (fd < 0)
        return;
    api_.writeRawFromSignal(fd, PPWDATA, pattern::idleData);
    api_.writeRawFromSignal(
        fd, PPWCONTROL, keepAlivePin_.merged(pattern::idleControl, keepAliveSet_.load(std::memory_order_relaxed)));
}

std::string Ieee1284Port::name() const
{
    return found_.filename.empty() ? found_.name : found_.filename;
}

Ieee1284Port::State Ieee1284Port::state() const noexcept
{
    return state_;
}

unsigned long Ieee1284Port::baseAddress() const noexcept
{
    return found_.baseAddress;
}

}  // namespace port::backend
