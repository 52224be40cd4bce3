// The register map: decoding a request, checking it whole before anything is
// written, and the communication-loss watch.
#include "app/remote/registermap.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace app::remote {

namespace {

constexpr unsigned byteBits = 8;
constexpr std::uint32_t largestPair = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint16_t largestPoles = 24;
constexpr std::uint16_t largestSpeed = 9999;  // rpm
// The largest rating and ratio a register takes: 1000 V, 100 V/Hz.
constexpr std::uint16_t largestRatedVoltage = 10000;
constexpr std::uint16_t largestVoltsPerHertz = 10000;

std::uint16_t word(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(bytes[at] << byteBits | bytes[at + 1]);
}

void putWord(std::vector<std::uint8_t>& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value >> byteBits));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

std::vector<std::uint8_t> exceptionReply(std::uint8_t function, Exception exception)
{
    return {static_cast<std::uint8_t>(function | function::exceptionBit), static_cast<std::uint8_t>(exception)};
}

// A reading in the register's unit, rounded; what does not fit is held at
// the register's ends (NaN reads 0).
template <class Register>
Register scaled(double value, double scale)
{
    const double x = std::round(value * scale);
    if (!(x > 0))
        return 0;
    constexpr auto largest = std::numeric_limits<Register>::max();
    return x >= static_cast<double>(largest) ? largest : static_cast<Register>(x);
}

void putPair(std::span<std::uint16_t> registers, std::uint16_t at, std::uint32_t value)
{
    registers[at] = static_cast<std::uint16_t>(value >> 16);
    registers[at + 1] = static_cast<std::uint16_t>(value & 0xFFFF);
}

Field fieldAt(std::uint16_t address)
{
    switch (address) {
    case holding::ratedVoltage:
        return Field::RatedVoltage;
    case holding::poles:
        return Field::Poles;
    case holding::demandedSpeed:
        return Field::DemandedSpeed;
    default:
        return Field::VoltsPerHertz;
    }
}

double fieldValue(std::uint16_t address, std::uint16_t value)
{
    switch (address) {
    case holding::ratedVoltage:
        return value / voltageScale;
    case holding::voltsPerHertz:
        return value / voltsPerHertzScale;
    default:
        return value;
    }
}

}  // namespace

Exception exceptionFor(Refusal refusal)
{
    switch (refusal) {
    case Refusal::RemoteControlOff:
        return Exception::IllegalFunction;
    case Refusal::WindowBusy:
        return Exception::Busy;
    default:
        return Exception::DeviceFailure;
    }
}

RegisterMap::RegisterMap(Console& console) : console_(console) {}

std::vector<std::uint8_t> RegisterMap::handle(std::span<const std::uint8_t> request, ClientId client,
                                              Clock::time_point now)
{
    if (request.empty())
        return exceptionReply(0, Exception::IllegalFunction);
    const std::uint8_t function = request[0];
    const std::span<const std::uint8_t> data = request.subspan(1);
    std::vector<std::uint8_t> reply;
    switch (function) {
    case function::readHolding:
    case function::readInput:
        reply = read(function, data);
        break;
    case function::writeSingle: {
        if (data.size() != 4) {
            reply = exceptionReply(function, Exception::IllegalValue);
            break;
        }
        const std::uint16_t value = word(data, 2);
        reply = write(function, word(data, 0), std::span(&value, 1), client, now);
        break;
    }
    case function::writeMultiple: {
        // Address, count, byte count, then the values: the count within the
        // protocol's limit and the bytes to match it.
        if (data.size() < 5) {
            reply = exceptionReply(function, Exception::IllegalValue);
            break;
        }
        const std::uint16_t count = word(data, 2);
        const std::size_t bytes = data[4];
        if (count < 1 || count > mostWritten || bytes != 2u * count || data.size() != 5 + bytes) {
            reply = exceptionReply(function, Exception::IllegalValue);
            break;
        }
        std::vector<std::uint16_t> values(count);
        for (std::size_t i = 0; i < count; ++i)
            values[i] = word(data, 5 + 2 * i);
        reply = write(function, word(data, 0), values, client, now);
        break;
    }
    default:
        reply = exceptionReply(function & ~function::exceptionBit, Exception::IllegalFunction);
        break;
    }
    if (runClient_ == client && !(reply[0] & function::exceptionBit))
        runClientHeard_ = now;
    return reply;
}

std::vector<std::uint8_t> RegisterMap::read(std::uint8_t function, std::span<const std::uint8_t> data)
{
    if (data.size() != 4)
        return exceptionReply(function, Exception::IllegalValue);
    const std::uint16_t start = word(data, 0);
    const std::uint16_t count = word(data, 2);
    if (count < 1 || count > mostRead)
        return exceptionReply(function, Exception::IllegalValue);
    const std::size_t size = function == function::readHolding ? holding::count : input::count;
    if (std::size_t{start} + count > size)
        return exceptionReply(function, Exception::IllegalAddress);

    std::array<std::uint16_t, std::max(holding::count, input::count)> registers{};
    if (function == function::readHolding)
        std::ranges::copy(holdingRegisters(), registers.begin());
    else
        std::ranges::copy(inputRegisters(), registers.begin());
    std::vector<std::uint8_t> reply{function, static_cast<std::uint8_t>(2 * count)};
    for (std::size_t i = start; i < std::size_t{start} + count; ++i)
        putWord(reply, registers[i]);
    return reply;
}

std::optional<Exception> RegisterMap::valueFault(std::uint16_t address, std::uint16_t value,
                                                 const ConsoleReadings& now) const
{
    bool fits = true;
    switch (address) {
    case holding::ratedVoltage:
        fits = value >= 1 && value <= largestRatedVoltage;
        break;
    case holding::poles:
        fits = value >= 2 && value <= largestPoles && value % 2 == 0;
        break;
    case holding::demandedSpeed:
        fits = value >= 1 && value <= largestSpeed;
        break;
    case holding::voltsPerHertz:
        fits = value >= 1 && value <= largestVoltsPerHertz;
        break;
    case holding::command:
        fits = value <= static_cast<std::uint16_t>(Command::Stop);
        break;
    case holding::timeout:
        // 0 turns the watch off, which a run alive must keep.
        if (value == 0)
            fits = now.state == port::run::SequencerState::Idle;
        else
            fits = value >= shortestTimeout.count() && value <= longestTimeout.count();
        break;
    default:
        return Exception::IllegalAddress;
    }
    if (!fits)
        return Exception::IllegalValue;
    return std::nullopt;
}

std::vector<std::uint8_t> RegisterMap::refuse(std::uint8_t function, Refusal refusal)
{
    lastRefusal_ = refusal;
    return exceptionReply(function, exceptionFor(refusal));
}

// Checked whole first: nothing is written when any value is refused. Then
// the timeout, the fields (one request to the window) and the command last,
// so that a command written with an operating point acts on it.
std::vector<std::uint8_t> RegisterMap::write(std::uint8_t function, std::uint16_t start,
                                             std::span<const std::uint16_t> values, ClientId client,
                                             Clock::time_point now)
{
    if (std::size_t{start} + values.size() > holding::count)
        return exceptionReply(function, Exception::IllegalAddress);
    const ConsoleReadings readings = console_.read();
    if (!readings.remoteControlOn)
        return refuse(function, Refusal::RemoteControlOff);
    for (std::size_t i = 0; i < values.size(); ++i)
        if (const auto fault = valueFault(static_cast<std::uint16_t>(start + i), values[i], readings))
            return exceptionReply(function, *fault);

    std::vector<FieldValue> fields;
    Command command = Command::None;
    std::optional<std::chrono::milliseconds> timeout;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const auto address = static_cast<std::uint16_t>(start + i);
        if (address == holding::command)
            command = static_cast<Command>(values[i]);
        else if (address == holding::timeout)
            timeout = std::chrono::milliseconds(values[i]);
        else
            fields.push_back({fieldAt(address), fieldValue(address, values[i])});
    }
    if (command == Command::Run && timeout.value_or(timeout_) == std::chrono::milliseconds::zero())
        return refuse(function, Refusal::NoCommunicationTimeout);
    if (timeout)
        timeout_ = *timeout;
    if (!fields.empty()) {
        if (const Refusal refusal = console_.setFields(fields); refusal != Refusal::None)
            return refuse(function, refusal);
    }
    if (command != Command::None) {
        if (const Refusal refusal = console_.press(command); refusal != Refusal::None)
            return refuse(function, refusal);
        if (command == Command::Run) {
            runClient_ = client;
            runClientHeard_ = now;
            runsEndedBefore_ = readings.runsEnded;
        }
    }
    lastRefusal_ = Refusal::None;

    // The reply repeats the request: the value for 6, address and count for 16.
    std::vector<std::uint8_t> reply{function};
    putWord(reply, start);
    putWord(reply, function == function::writeSingle ? values[0] : static_cast<std::uint16_t>(values.size()));
    return reply;
}

std::optional<RegisterMap::Clock::time_point> RegisterMap::watch(Clock::time_point now)
{
    if (!runClient_)
        return std::nullopt;
    const ConsoleReadings readings = console_.read();
    // A run that has ended (a later one is not the client's, even when the
    // watch did not look in between), or that the operator took back by
    // turning remote control off, is no longer the client's to keep alive.
    if (readings.state == port::run::SequencerState::Idle || !readings.remoteControlOn ||
        readings.runsEnded != runsEndedBefore_) {
        runClient_.reset();
        return std::nullopt;
    }
    const Clock::time_point due = runClientHeard_ + timeout_;
    if (timeout_ == std::chrono::milliseconds::zero() || now < due)
        return due;
    console_.communicationLost(now - runClientHeard_);
    runClient_.reset();
    return std::nullopt;
}

std::array<std::uint16_t, holding::count> RegisterMap::holdingRegisters()
{
    const ConsoleReadings now = console_.read();
    std::array<std::uint16_t, holding::count> registers{};
    registers[holding::ratedVoltage] = scaled<std::uint16_t>(now.ratedVoltage, voltageScale);
    registers[holding::poles] = scaled<std::uint16_t>(now.poles, 1.0);
    registers[holding::demandedSpeed] = scaled<std::uint16_t>(now.demandedSpeed, 1.0);
    registers[holding::voltsPerHertz] = scaled<std::uint16_t>(now.voltsPerHertz, voltsPerHertzScale);
    registers[holding::command] = static_cast<std::uint16_t>(Command::None);
    registers[holding::timeout] = static_cast<std::uint16_t>(timeout_.count());
    return registers;
}

std::array<std::uint16_t, input::count> RegisterMap::inputRegisters()
{
    const ConsoleReadings now = console_.read();
    std::array<std::uint16_t, input::count> registers{};
    registers[input::state] = static_cast<std::uint16_t>(now.state);
    putPair(registers, input::delayCount,
            now.delayCount < 0 ? 0 : static_cast<std::uint32_t>(std::min<std::uint64_t>(now.delayCount, largestPair)));
    putPair(registers, input::definedFrequency, scaled<std::uint32_t>(now.definedFrequency, frequencyScale));
    putPair(registers, input::measuredFrequency, scaled<std::uint32_t>(now.measuredFrequency.value_or(0.0), frequencyScale));
    putPair(registers, input::cycles, static_cast<std::uint32_t>(now.cycles & largestPair));
    registers[input::requiredVoltage] = scaled<std::uint16_t>(now.requiredVoltage, voltageScale);
    registers[input::lastRefusal] = static_cast<std::uint16_t>(lastRefusal_);
    registers[input::remoteControl] = now.remoteControlOn ? 1 : 0;
    registers[input::runEndCause] = static_cast<std::uint16_t>(now.endCause);
    return registers;
}

}  // namespace app::remote
