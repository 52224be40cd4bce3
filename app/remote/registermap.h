// The Modbus register map of the console and the handling of one request:
// holding registers for the operating point, the command and the
// communication-loss timeout; input registers for what the window shows.
// Function codes 3, 4, 6 and 16; every other one gets exception 1. A block
// that reaches past the map gets exception 2, a count the protocol does not
// allow or a value outside its register's range exception 3 (nothing of the
// request is written then). Plain C++: the server hands it request PDUs and
// sends its replies; it reaches the console only through Console.
//
// Communication loss: while a run started by a client is alive, that client
// must send a valid request (one answered without exception) at least once
// in every timeout; when it does not, watch() ends the run at once.
#ifndef APP_REMOTE_REGISTERMAP_H
#define APP_REMOTE_REGISTERMAP_H

#include "app/remote/console.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace app::remote {

// Holding registers (function codes 3, 6, 16), PDU addresses.
namespace holding {
inline constexpr std::uint16_t ratedVoltage = 0;   // Text1, 0.1 V
inline constexpr std::uint16_t poles = 1;          // Text6, even, 2 to 24
inline constexpr std::uint16_t demandedSpeed = 2;  // Text7, rpm, 1 to 9999
inline constexpr std::uint16_t voltsPerHertz = 3;  // Text8, 0.01 V/Hz
inline constexpr std::uint16_t command = 4;        // Command; reads 0
inline constexpr std::uint16_t timeout = 5;        // communication-loss timeout, ms
inline constexpr std::uint16_t count = 6;
}  // namespace holding

// Input registers (function code 4). 32-bit values take two registers, the
// high word first.
namespace input {
inline constexpr std::uint16_t state = 0;              // 0 idle, 1 running, 2 stopping
inline constexpr std::uint16_t delayCount = 1;         // 32-bit
inline constexpr std::uint16_t definedFrequency = 3;   // 32-bit, 0.01 Hz
inline constexpr std::uint16_t measuredFrequency = 5;  // 32-bit, 0.01 Hz, 0: none measured
inline constexpr std::uint16_t cycles = 7;             // 32-bit, modulo 2^32
inline constexpr std::uint16_t requiredVoltage = 9;    // Text10, 0.1 V
inline constexpr std::uint16_t lastRefusal = 10;       // Refusal
inline constexpr std::uint16_t remoteControl = 11;     // 0 off, 1 on
inline constexpr std::uint16_t runEndCause = 12;       // port::run::RunEndCause
inline constexpr std::uint16_t count = 13;
}  // namespace input

inline constexpr double voltageScale = 10.0;        // registers per V
inline constexpr double voltsPerHertzScale = 100.0;  // registers per V/Hz
inline constexpr double frequencyScale = 100.0;      // registers per Hz

// Function codes and exception codes of the protocol.
namespace function {
inline constexpr std::uint8_t readHolding = 3;
inline constexpr std::uint8_t readInput = 4;
inline constexpr std::uint8_t writeSingle = 6;
inline constexpr std::uint8_t writeMultiple = 16;
inline constexpr std::uint8_t exceptionBit = 0x80;
}  // namespace function

enum class Exception : std::uint8_t {
    IllegalFunction = 1,     // not served; or remote control is off
    IllegalAddress = 2,      // the block reaches past the map
    IllegalValue = 3,        // a count or value out of range
    DeviceFailure = 4,       // the console refused: the refusal register says why
    Busy = 6,                // the window did not take the request in time
};

// The exception a refusal is answered with.
Exception exceptionFor(Refusal refusal);

class RegisterMap {
public:
    using Clock = std::chrono::steady_clock;
    using ClientId = std::uint64_t;  // one per connection, never reused

    static constexpr std::chrono::milliseconds defaultTimeout{1000};
    static constexpr std::chrono::milliseconds shortestTimeout{100};
    static constexpr std::chrono::milliseconds longestTimeout{60000};
    // The protocol's limits on one request.
    static constexpr std::uint16_t mostRead = 125;
    static constexpr std::uint16_t mostWritten = 123;

    // console must outlive the map.
    explicit RegisterMap(Console& console);

    // One request PDU (function code, then its data) from client, received
    // at now: the reply PDU, a normal reply or an exception.
    std::vector<std::uint8_t> handle(std::span<const std::uint8_t> request, ClientId client, Clock::time_point now);

    // The communication-loss watch: ends the run when its client has been
    // silent for the timeout. Returns when to look again, or nothing while
    // there is no remote run to watch.
    std::optional<Clock::time_point> watch(Clock::time_point now);

    // The holding and input registers as a client reads them now.
    std::array<std::uint16_t, holding::count> holdingRegisters();
    std::array<std::uint16_t, input::count> inputRegisters();

private:
    std::vector<std::uint8_t> read(std::uint8_t function, std::span<const std::uint8_t> data);
    std::vector<std::uint8_t> write(std::uint8_t function, std::uint16_t start, std::span<const std::uint16_t> values,
                                    ClientId client, Clock::time_point now);
    std::optional<Exception> valueFault(std::uint16_t address, std::uint16_t value, const ConsoleReadings& now) const;
    std::vector<std::uint8_t> refuse(std::uint8_t function, Refusal refusal);

    Console& console_;
    std::chrono::milliseconds timeout_ = defaultTimeout;
    Refusal lastRefusal_ = Refusal::None;
    // The client whose RUN started or last changed the run alive, and when
    // it last sent a valid request.
    std::optional<ClientId> runClient_;
    Clock::time_point runClientHeard_{};
    std::uint64_t runsEndedBefore_ = 0;  // at the client's RUN: an end since then is its run's
};

}  // namespace app::remote

#endif  // APP_REMOTE_REGISTERMAP_H
