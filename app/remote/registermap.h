// The console as a drive on Modbus: a control word, the speed reference
// beside it, the rest of the operating point, and a status word of bits with
// the readings after it. Used by the server's thread alone; it reaches the
// console only through Console, so it is tested and fuzzed without a window.
//
// Remote start and stop are one state machine (controlstate.h), and the
// rules a drive keeps, so that no motor starts by itself:
//  - A start needs a fresh edge from the same client: RUN 1 written by a
//    client whose own previous control word had RUN 0, written after the
//    last stop of any kind (a STOP from anyone, the operator's STOP or EXIT,
//    the watch, a trip, a fault reset, remote control switched, control
//    changing hands). A client's first control word is never an edge.
//  - A STOP from a client allowed to stop acts as its request arrives, from
//    this thread: the run ends, and every start sent before it that has not
//    begun (at the window, waiting for the self-test or behind a run still
//    stopping, or still queued on any connection) is called off and
//    answered as never run. A STOP is always answered as taken.
//  - The sequencer says who a run is: each start's ticket ends Started(n) or
//    Dropped, and the state and run number are read as one. Every stop,
//    whoever made it, is learnt from them.
//  - While a run is alive or a start waits, only the client in control
//    writes; the others may only STOP. With none, any client may prepare a
//    start, and its RUN edge takes control. A reference written while a
//    start waits goes into that start.
//  - A client is its connection, unless it names itself: by the unit id of
//    its requests (1-247: its address and that unit, across connections),
//    or by what its transport knows of it (a certificate's subject). Control
//    and the edge follow the client, so a PLC that reconnects keeps its run.
//  - The communication-loss watch follows a start's ticket, then the run it
//    became; only the controlling client's writes to the control word or
//    the reference reset it.
//  - A request is checked whole, then done whole or not at all; one that
//    needs the window is handed over and answered once done there, and the
//    reads, the STOPs and the watch go on meanwhile.
#ifndef APP_REMOTE_REGISTERMAP_H
#define APP_REMOTE_REGISTERMAP_H

#include "app/remote/auditlog.h"
#include "app/remote/console.h"
#include "app/remote/controlstate.h"
#include "app/remote/protocol.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace app::remote {

// Holding registers (function codes 3, 6, 16, 23), PDU addresses; the
// status word and the readings follow at statusBlock, read only.
namespace holding {
inline constexpr std::uint16_t controlWord = 0;     // this client's own, as it last wrote it
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
inline constexpr std::uint16_t definedFrequency = 3;   // 32-bit, 0.01 Hz, 0: no run alive
inline constexpr std::uint16_t requiredVoltage = 5;    // Text10, 0.1 V
inline constexpr std::uint16_t lastRefusal = 6;        // Refusal, until a fault reset
inline constexpr std::uint16_t runEndCause = 7;        // EndCode of the last run
inline constexpr std::uint16_t mapVersion = 8;
inline constexpr std::uint16_t delayCount = 9;   // 32-bit
inline constexpr std::uint16_t cycles = 11;      // 32-bit, modulo 2^32
inline constexpr std::uint16_t controller = 13;  // 32-bit IPv4 address of the client in control, 0: nobody
inline constexpr std::uint16_t controllerPort = 15;  // its connection's port, 0: none open
inline constexpr std::uint16_t count = 16;
}  // namespace input

namespace control {
inline constexpr std::uint16_t run = 1 << 0;         // held: 0 -> 1 starts, 0 stops
inline constexpr std::uint16_t faultReset = 1 << 1;  // 0 -> 1 clears the trip and the refusal
inline constexpr std::uint16_t defined = run | faultReset;
}  // namespace control

namespace status {
inline constexpr std::uint16_t readyToRun = 1 << 0;  // ready, and this client's RUN 1 would start
inline constexpr std::uint16_t running = 1 << 1;
inline constexpr std::uint16_t stopping = 1 << 2;
inline constexpr std::uint16_t trip = 1 << 3;         // latched until a fault reset
inline constexpr std::uint16_t warning = 1 << 4;      // a run alive not held at real-time priority, or at full speed
inline constexpr std::uint16_t atReference = 1 << 5;  // measured within tolerance of the defined frequency
inline constexpr std::uint16_t remoteControl = 1 << 6;
inline constexpr std::uint16_t communicationLost = 1 << 7;  // latched with the trip
inline constexpr std::uint16_t inControl = 1 << 8;          // this client
inline constexpr std::uint16_t otherInControl = 1 << 9;     // another client
inline constexpr std::uint16_t startWaiting = 1 << 10;      // a start waits (the window, the self-test, a run stopping)
inline constexpr std::uint16_t startInhibited = 1 << 11;    // ready, but this client's RUN 1 would not start: RUN 0 first
}  // namespace status

inline constexpr std::uint16_t mapVersion = 3;

// What a client may write to a holding register of the motor's values, in
// the register's own unit; the commissioning file takes the same.
struct RegisterLimits {
    std::uint16_t lowest;
    std::uint16_t highest;
    std::uint16_t step = 1;

    constexpr bool take(std::uint16_t value) const { return value >= lowest && value <= highest && value % step == 0; }
};
namespace limits {
inline constexpr RegisterLimits speed{1, 9999};           // rpm: the reference (40002), the rated speed (40004)
inline constexpr RegisterLimits ratedVoltage{1, 10000};   // 0.1 V: up to 1000 V
inline constexpr RegisterLimits poles{2, 24, 2};
inline constexpr RegisterLimits voltsPerHertz{1, 10000};  // 0.01 V/Hz: up to 100 V/Hz
}  // namespace limits
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

    // Where a connection comes from, as its transport says.
    struct Peer {
        std::string name{};         // "127.0.0.1:41234", for the log and the window
        std::uint32_t address = 0;  // IPv4, host order
        std::uint16_t port = 0;
        // Who the client is across its connections where the transport
        // knows it (a certificate's subject); empty: see addressed().
        std::string identity{};
    };

    // console must outlive the map. locked: holding registers the
    // commissioning file sets (of 2-5: the rating, the poles, V/f), which
    // no client may write.
    RegisterMap(Console& console, const Identity& identity, std::vector<std::uint16_t> locked = {});
    ~RegisterMap();
    RegisterMap(const RegisterMap&) = delete;
    RegisterMap& operator=(const RegisterMap&) = delete;

    void connected(ClientId connection, Peer peer);
    // The unit id of the connection's request now. 1-247 name the client:
    // its address and that unit, one client across all its connections.
    // 0 and 255, the Modbus TCP defaults, leave it its connection alone. A
    // connection its transport named keeps that name.
    void addressed(ClientId connection, std::uint8_t unit);
    // Gone. A client that was only this connection is gone with it: it is
    // in control no more, and its start still waiting is called off; a run
    // of its keeps its watch, which it can no longer reset. A named client
    // keeps control and its watch: it may come back.
    void closed(ClientId connection, Clock::time_point now);

    // Each request as it arrives, before its turn: a STOP in it acts now,
    // and the controller's write resets its watch. The answers of requests
    // withdrawn from the window by that STOP.
    std::vector<Answer> arrived(std::span<const std::uint8_t> request, ClientId client, Clock::time_point now);
    // The request's turn: the reply, or nothing while the window does it
    // (its reply then comes from completed() or tick()). One request of a
    // connection at a time, in the order they arrived.
    std::optional<std::vector<std::uint8_t>> handle(std::span<const std::uint8_t> request, ClientId client,
                                                    Clock::time_point now);
    // The window has done request id.
    std::optional<Answer> completed(RequestId id, WindowOutcome outcome, Clock::time_point now);
    // Requests the window did not begin in time, the watch, what the console
    // did meanwhile, the log's counts: the answers due.
    std::vector<Answer> tick(Clock::time_point now);
    // When tick() is next due, or nothing while nothing is.
    std::optional<Clock::time_point> nextDue() const;

    // The communication-loss timeout until a client writes another (the
    // commissioning file's); within shortestTimeout and longestTimeout.
    void setTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }

    // The registers as client reads them now.
    std::array<std::uint16_t, holding::writable> holdingRegisters(ClientId client);
    std::array<std::uint16_t, input::count> inputRegisters(ClientId client);
    ControlState state() const { return state_; }
    // The client in control, by its name; empty: nobody.
    std::string controller() const;

private:
    struct Arrival {
        std::uint64_t number;
        bool stopped = false;  // a STOP in it acted as it arrived
        std::optional<std::uint16_t> before{};  // stopped: the client's word before it
    };
    struct Connection {
        Peer peer;
        std::string own;     // the client it is alone
        std::string client;  // the client it speaks for now
        std::deque<Arrival> arrivals;  // arrived, not handled yet
    };
    struct Client {
        std::string name;           // for the log and the window
        std::uint32_t address = 0;  // its latest connection's
        std::uint16_t port = 0;
        std::set<ClientId> connections;
        std::optional<std::uint16_t> word;  // its last control word
        std::uint64_t wordAfter = 0;        // stops_ when it was written
    };
    struct Waiting;
    struct Watch {
        std::string client;
        std::string name;  // kept: the client may be gone before its watch runs out
        std::shared_ptr<port::run::StartTicket> ticket;  // the start, then the run it became
        std::optional<std::uint64_t> run;
        Clock::time_point heard;
    };
    // The client in control when the operator turned remote control off,
    // and its run, which it may still STOP.
    struct Former {
        std::string client;
        std::optional<std::uint64_t> run;
    };
    // Who stopped a run with a STOP from afar.
    struct RemoteStop {
        std::uint64_t run;
        EndCode code;  // ControllerStop or OtherStop
        std::string client;
    };

    std::vector<std::uint8_t> serve(const Request& request, ClientId client);
    std::optional<std::vector<std::uint8_t>> write(const Request& request, ClientId connection, const Arrival& arrival,
                                                   Clock::time_point now);
    std::vector<std::uint8_t> afterWrite(const Request& request, ClientId connection);
    std::optional<Exception> readFault(const Request::Read& read) const;
    std::vector<std::uint8_t> refuse(std::uint8_t function, Refusal refusal);
    // The timeout and a fault reset of a write done whole.
    void apply(const Request::Write& write, bool resetEdge, const std::string& by, Clock::time_point now);
    bool mayStop(const std::string& client) const;
    void stopFrom(ClientId connection, std::vector<Answer>& answers, Clock::time_point now);
    Answer withdrawn(RequestId id, Refusal why, Clock::time_point now);
    void dropStart(const Waiting& waiting);

    // What the console did since it was last read: the switch, a trip
    // cleared at the window, the tickets, the runs that began and ended.
    void observe(const ConsoleReadings& now, Clock::time_point at);
    void runBegan(std::uint64_t run);
    void runEnded(std::uint64_t run, const ConsoleReadings& now);
    void switched(bool on, const ConsoleReadings& now, Clock::time_point at);
    void watch(Clock::time_point at);
    // Moves the state machine; "why" goes into the log's line.
    void enter(ControlEvent event, bool runAlive, const std::string& why, Clock::time_point at);
    void takeControl(const std::string& client, Clock::time_point at);
    void loseControl(const std::string& why, Clock::time_point at);
    // A stop of any kind: a client's RUN 0 before it starts nothing.
    void countStop() { ++stops_; }
    void latchTrip(EndCode trip);
    void clearTrip(const std::string& by, Clock::time_point at);
    bool armed(const Client& client) const;
    void showView();
    void log(const std::string& line, bool changed, Clock::time_point at);

    std::array<std::uint16_t, holding::writable> holdingRegisters(ClientId connection, const ConsoleReadings& now);
    Client& clientOf(ClientId connection);
    std::string nameOf(const std::string& client) const;
    std::uint16_t statusWord(ClientId connection, const ConsoleReadings& now);

    Console& console_;
    Identity identity_;
    std::vector<std::uint16_t> locked_;
    AuditLog log_;
    std::map<ClientId, Connection> connections_;
    std::map<std::string, Client> clients_;  // by key: "#7" a connection alone, "10.0.0.5 unit 1", a subject
    std::map<RequestId, std::unique_ptr<Waiting>> waiting_;
    RequestId nextRequest_ = 1;
    std::uint64_t arrivals_ = 0;
    std::uint64_t lastStopArrival_ = 0;  // the latest STOP that acted, by its arrival

    ControlState state_ = ControlState::Off;
    std::optional<std::string> controller_;
    std::optional<Former> former_;
    std::optional<Watch> watch_;
    std::optional<RemoteStop> remoteStop_;
    std::uint64_t stops_ = 0;  // stops of any kind so far
    std::chrono::milliseconds timeout_ = defaultTimeout;
    // Latched until a fault reset: the trip's cause, None where a run begun
    // since left none to say.
    std::optional<EndCode> trip_;
    Refusal lastRefusal_ = Refusal::None;
    EndCode endCode_ = EndCode::None;
    std::string stoppedBy_;
    RemoteView shown_;

    // The console as last read.
    port::run::RunIdentity seen_;
    std::uint64_t tripsSeen_ = 0;
    std::uint64_t switchesSeen_ = 0;
    std::uint64_t resetsSeen_ = 0;
    bool remoteOn_ = false;
    Clock::time_point lastNow_{};  // the latest time the map was given
};

}  // namespace app::remote

#endif  // APP_REMOTE_REGISTERMAP_H
