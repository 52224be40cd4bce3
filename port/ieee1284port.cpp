// libieee1284 back end: exclusive open, lazy claim, raw register values.
#include "port/ieee1284port.h"

#include "port/hexvalue.h"

#include <ieee1284.h>

namespace port {

static_assert(Ieee1284Port::exclusiveAccess == F1284_EXCL);
static_assert(Ieee1284Port::invertedControlLines == C1284_INVERTED);
static_assert(Ieee1284Port::invertedStatusLines == S1284_INVERTED);

namespace {
constexpr const char* accessHint = "check the cable and that no printer driver holds it; "
                                   "add the user to group lp";
}  // namespace

Ieee1284Port::Ieee1284Port(const Ieee1284Api& api, std::shared_ptr<void> list,
                           Ieee1284Api::FoundPort found)
    : api_(api), list_(std::move(list)), found_(std::move(found))
{
    const int result = api_.open(found_.handle, exclusiveAccess);
    if (result < 0)
        throw PortError("opening " + name() + " (" + hexValue(static_cast<unsigned>(found_.baseAddress)) +
                        ") failed: " + ieee1284ErrorText(result) + "; " + accessHint);
    state_ = State::Open;
}

Ieee1284Port::~Ieee1284Port()
{
    close();
}

void Ieee1284Port::close() noexcept
{
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
}

void Ieee1284Port::out(std::uint16_t address, std::uint8_t value)
{
    if (address != dataPort && address != controlPort)
        throw PortError("writing " + hexValue(value) + " to " + hexValue(address) + " on " + name() +
                        " failed: not a writable register; use " + hexValue(dataPort) + " or " +
                        hexValue(controlPort));
    claimOnce();
    if (address == dataPort)
        api_.writeData(found_.handle, value);
    else
        api_.writeControl(found_.handle, static_cast<std::uint8_t>(value ^ invertedControlLines));
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

}  // namespace port
