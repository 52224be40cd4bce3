// The console as a drive on Modbus: a control word, the speed reference
// beside it, the rest of the operating point, and a status word of bits with
// the readings after it. Used by the server's thread alone; it reaches the
// console only through Console, so it is tested and fuzzed without a window.
//
// The rules a drive keeps, so that nothing starts from afar that the
// operator would not start at the window, and no remote run outlives its
// client:
//  - RUN is a held bit. A run starts only on its rising edge, which computes
//    Required Voltage from the fields in effect and starts only from one
//    that passed; refused, nothing starts, a trip is latched and the request
//    gets exception 4. RUN 0 stops.
//  - The first connection whose RUN edge is taken while remote control is
//    on is in control until it closes, its watch runs out or the operator
//    turns remote control off. Others may read; their writes get exception
//    1, but a control word with RUN 0 from any of them stops the run. With
//    remote control off every write gets exception 1, but the connection
//    that was in control may still stop the run it started.
//  - A STOP in a request acts as the request arrives, from this thread,
//    before anything else the request holds and before the requests
//    waiting ahead of it.
//  - The communication-loss watch follows every run a client started, and
//    a start still waiting: only the controlling connection's writes to the
//    control word or the reference reset it. When it runs out, a waiting
//    start is called off and a run ends at once.
//  - A request is checked whole, then done whole or not at all; one that
//    needs the window is handed over and answered once done there, and the
//    reads, the STOPs and the watch go on meanwhile. Exception 6 is for a
//    request the window did not begin in time: it never ran.
#ifndef APP_REMOTE_REGISTERMAP_H
#define APP_REMOTE_REGISTERMAP_H

#include "app/remote/console.h"
#include "app/remote/protocol.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace app::remote {

// Holding registers (function codes 3, 6, 16, 23), PDU addresses; the
// status word and the readings follow at statusBlock, read only.
namespace holding {
inline constexpr std::uint16_t controlWord = 0;
inline constexpr std::uint16_t speedReference = 1;  // Text7, rpm
inline constexpr std::uint16_t ratedVoltage = 2;    // Text1, 0.1 V
inline constexpr std::uint16_t ratedSpeed = 3;      // Text5, rpm
inline constexpr std::uint16_t poles = 4;           // Text6
inline constexpr std::uint16_t voltsPerHertz = 5;   // Text8, 0.01 V/Hz
inline constexpr std::uint16_t timeout = 6;         // communication-loss timeout, ms
inline constexpr std::uint16_t writable = 7;
inline constexpr std::uint16_t statusBlock = 100;  // input register n is holding register 100 + n
}  // namespace holding

// Input registers (function code 4). 32-bit values take two registers, the
// high word first.
namespace input {
inline constexpr std::uint16_t statusWord = 0;
inline constexpr std::uint16_t measuredFrequency = 1;  // 32-bit, 0.01 Hz, 0: none measured
inline constexpr std::uint16_t definedFrequency = 3;   // 32-bit, 0.01 Hz
inline constexpr std::uint16_t requiredVoltage = 5;    // Text10, 0.1 V
inline constexpr std::uint16_t lastRefusal = 6;        // Refusal, until a fault reset
inline constexpr std::uint16_t runEndCause = 7;        // port::run::RunEndCause of the last run
inline constexpr std::uint16_t mapVersion = 8;
inline constexpr std::uint16_t delayCount = 9;  // 32-bit
inline constexpr std::uint16_t cycles = 11;     // 32-bit, modulo 2^32
inline constexpr std::uint16_t count = 13;
}  // namespace input

namespace control {
inline constexpr std::uint16_t run = 1 << 0;         // held: 0 -> 1 starts, 0 stops
inline constexpr std::uint16_t faultReset = 1 << 1;  // 0 -> 1 clears the trip and the refusal
inline constexpr std::uint16_t defined = run | faultReset;
}  // namespace control

namespace status {
inline constexpr std::uint16_t readyToRun = 1 << 0;  // no run alive or waiting, no trip latched
inline constexpr std::uint16_t running = 1 << 1;
inline constexpr std::uint16_t stopping = 1 << 2;
inline constexpr std::uint16_t trip = 1 << 3;         // latched until a fault reset
inline constexpr std::uint16_t warning = 1 << 4;      // a run alive not held at real-time priority, or at full speed
inline constexpr std::uint16_t atReference = 1 << 5;  // measured within tolerance of the defined frequency
inline constexpr std::uint16_t remoteControl = 1 << 6;
inline constexpr std::uint16_t communicationLost = 1 << 7;  // latched with the trip
inline constexpr std::uint16_t inControl = 1 << 8;          // this connection
inline constexpr std::uint16_t otherInControl = 1 << 9;     // another connection
inline constexpr std::uint16_t startWaiting = 1 << 10;      // a remote start waits (the self-test ends first)
}  // namespace status

inline constexpr std::uint16_t mapVersion = 2;
inline constexpr double voltageScale = 10.0;        // registers per V
inline constexpr double voltsPerHertzScale = 100.0;  // registers per V/Hz
inline constexpr double frequencyScale = 100.0;      // registers per Hz
// At reference: within 1 % of the defined frequency, and never closer than
// the register's step. Held at real-time priority a run keeps within 0.25 %
// even on a loaded PC; at normal priority a busy PC takes 7 to 40 % off.
inline constexpr double atReferenceShare = 0.01;

class RegisterMap {
public:
    using Clock = std::chrono::steady_clock;
    using ClientId = std::uint64_t;  // one per connection, never reused

    static constexpr std::chrono::milliseconds defaultTimeout{1000};
    static constexpr std::chrono::milliseconds shortestTimeout{100};
    static constexpr std::chrono::milliseconds longestTimeout{60000};
    // A window that has not begun a request within this is busy (exception
    // 6, and the request never runs): it answers in milliseconds when it is not.
    static constexpr std::chrono::milliseconds windowWait{250};

    // A reply to a request that waited for the window.
    struct Answer {
        ClientId client;
        std::vector<std::uint8_t> reply;
    };

    // console must outlive the map.
    RegisterMap(Console& console, const Identity& identity);
    ~RegisterMap();
    RegisterMap(const RegisterMap&) = delete;
    RegisterMap& operator=(const RegisterMap&) = delete;

    // A connection from name ("127.0.0.1:41234"), for the log and the strip.
    void connected(ClientId client, std::string name);
    // Gone: it is in control no more, and a start of its still waiting is
    // called off; a run of its keeps its watch, which it can no longer reset.
    void closed(ClientId client, Clock::time_point now);

    // Each request as it arrives, before its turn: a STOP in it acts now,
    // and the controller's write resets its watch. The answers of requests
    // withdrawn from the window by that STOP.
    std::vector<Answer> arrived(std::span<const std::uint8_t> request, ClientId client, Clock::time_point now);
    // The request's turn: the reply, or nothing while the window does it
    // (its reply then comes from completed() or tick()). One request of a
    // client at a time.
    std::optional<std::vector<std::uint8_t>> handle(std::span<const std::uint8_t> request, ClientId client,
                                                    Clock::time_point now);
    // The window has done request id.
    std::optional<Answer> completed(RequestId id, WindowOutcome outcome, Clock::time_point now);
    // Requests the window did not begin in time, the watch, remote control
    // switched: the answers due.
    std::vector<Answer> tick(Clock::time_point now);
    // When tick() is next due, or nothing while nothing is.
    std::optional<Clock::time_point> nextDue() const;

    // The communication-loss timeout until a client writes another (the
    // commissioning file's); within shortestTimeout and longestTimeout.
    void setTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }

    // The registers as client reads them now.
    std::array<std::uint16_t, holding::writable> holdingRegisters();
    std::array<std::uint16_t, input::count> inputRegisters(ClientId client);

private:
    struct Waiting;
    struct Watch {
        ClientId client;
        std::string name;  // kept: the connection may close before the watch runs out
        std::shared_ptr<port::run::StartTicket> ticket;  // a start still waiting, or the one that began
        std::optional<std::uint64_t> run;
        Clock::time_point heard;
        bool begun = false;  // its start has been logged
    };
    // The connection in control when the operator turned remote control
    // off, and its run, which it may still stop.
    struct Former {
        ClientId client;
        std::optional<std::uint64_t> run;
        std::shared_ptr<port::run::StartTicket> ticket;
    };

    std::vector<std::uint8_t> serve(const Request& request, ClientId client);
    std::optional<std::vector<std::uint8_t>> write(const Request& request, ClientId client, Clock::time_point now);
    std::vector<std::uint8_t> afterWrite(const Request& request, ClientId client);
    std::optional<Exception> readFault(const Request::Read& read) const;
    std::vector<std::uint8_t> refuse(std::uint8_t function, Refusal refusal);
    // The control word, the timeout and a fault reset of a write done.
    void apply(const Request::Write& write, const ConsoleReadings& now);
    bool stopsFrom(const Request& request, ClientId client) const;
    void stopFor(ClientId client, std::vector<Answer>& answers, Clock::time_point now);
    Answer withdrawn(RequestId id);
    void dropStart(const Waiting& waiting, const std::string& why);
    void takeControl(ClientId client, const std::string& why);
    void releaseControl(const std::string& why);
    void followRemoteSwitch(const ConsoleReadings& now);
    void watch(const ConsoleReadings& now, Clock::time_point at);
    bool tripLatched(const ConsoleReadings& now) const;
    std::uint16_t statusWord(ClientId client, const ConsoleReadings& now) const;
    std::string nameOf(ClientId client) const;

    Console& console_;
    Identity identity_;
    std::map<ClientId, std::string> names_;
    std::map<RequestId, std::unique_ptr<Waiting>> waiting_;
    RequestId nextRequest_ = 1;

    std::uint16_t controlWord_ = 0;  // as the controller last wrote it
    std::chrono::milliseconds timeout_ = defaultTimeout;
    std::optional<ClientId> controller_;
    std::optional<Former> former_;
    std::optional<Watch> watch_;
    bool remoteOn_ = false;  // as last seen
    Refusal lastRefusal_ = Refusal::None;
    bool refusedStart_ = false;       // latched until a fault reset
    bool communicationLost_ = false;  // latched until a fault reset
    std::uint64_t tripsAtReset_ = 0;
};

}  // namespace app::remote

#endif  // APP_REMOTE_REGISTERMAP_H
