// The console as the register map sees it: what it shows, read without
// waiting for the window; requests handed to the window and answered once
// done there; and what acts at once from the server's thread, never waiting
// for the window: a STOP, a start called off, the communication-loss stop.
// Plain C++, so that the map is tested and fuzzed without a window or a
// network.
#ifndef APP_REMOTE_CONSOLE_H
#define APP_REMOTE_CONSOLE_H

#include "app/remote/refusal.h"
#include "port/run/sequencerstate.h"
#include "port/run/startticket.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace app::remote {

// The fields a client writes, in the window's numbering (Text7 is 7).
enum class Field : std::uint8_t { RatedVoltage = 1, RatedSpeed = 5, Poles = 6, SpeedReference = 7, VoltsPerHertz = 8 };

struct FieldValue {
    Field field;
    double value;
};

// What a request asks of the window, done there as the operator would do it,
// checked first with the window's own checks: whole, or not at all.
struct WindowRequest {
    enum class Action : std::uint8_t {
        Type,    // type the fields
        Retune,  // type them, Required Voltage, then RUN's new count for run, while it is Running
        Start,   // type them, Required Voltage, then RUN through ticket
    };
    Action action = Action::Type;
    std::vector<FieldValue> fields;
    // Refuse the rating, the poles and V/f while a run is alive.
    bool ratingWritten = false;
    std::shared_ptr<port::run::StartTicket> ticket;  // Start
    std::uint64_t run = 0;                            // Retune
};

struct WindowOutcome {
    enum class Kind : std::uint8_t { Done, Refused };
    Kind kind = Kind::Done;
    Refusal refusal = Refusal::None;
};

using RequestId = std::uint64_t;

// What the console shows now.
struct ConsoleReadings {
    port::run::SequencerState state = port::run::SequencerState::Idle;
    std::uint64_t run = 0;    // the run alive, or the last one
    std::uint64_t trips = 0;  // runs that ended at once with a cause
    port::run::RunEndCause endCause = port::run::RunEndCause::None;
    std::int64_t delayCount = 0;
    double definedFrequency = 0.0;             // Hz
    std::optional<double> measuredFrequency;  // Hz
    std::uint64_t cycles = 0;
    bool realtime = false;  // the steps are held at real-time priority
    bool remoteControlOn = false;
    // The fields as the window reads them.
    double ratedVoltage = 0.0;     // V, Text1
    double ratedSpeed = 0.0;       // rpm, Text5
    double poles = 0.0;            // Text6
    double speedReference = 0.0;   // rpm, Text7
    double voltsPerHertz = 0.0;    // V/Hz, Text8
    double requiredVoltage = 0.0;  // V, Text10
};

class Console {
public:
    // Told, from another thread (the window's): the outcome of a request
    // handed over, exactly once for each one not withdrawn; and that
    // something the map reads has changed (remote control switched, a run
    // begun or ended). Must not wait.
    class Listener {
    public:
        virtual void completed(RequestId id, WindowOutcome outcome) = 0;
        virtual void changed() = 0;

    protected:
        ~Listener() = default;
    };

    virtual ~Console() = default;
    // nullptr: nobody is told any more (before the listener goes).
    virtual void setListener(Listener* listener) = 0;
    virtual ConsoleReadings read() = 0;
    // Hands the request to the window and returns at once.
    virtual void submit(RequestId id, WindowRequest request) = 0;
    // True when the window had not begun the request: it never will, and
    // no outcome comes for it. False when it has begun: its outcome comes.
    virtual bool withdraw(RequestId id) = 0;
    // A held STOP (port::run::Sequencer::stopHeld): true when a run, or a
    // run waiting to start, was stopped.
    virtual bool stop(std::optional<std::uint64_t> onlyRun) = 0;
    // True when the start had not happened and now never will.
    virtual bool callOff(port::run::StartTicket& ticket) = 0;
    virtual void communicationLost(std::chrono::nanoseconds silence, std::uint64_t run) = 0;
    // Who is in control, for the operator: "127.0.0.1:41234", or empty.
    virtual void showController(const std::string& who) = 0;
    // One line of the log of remote writes and runs.
    virtual void audit(const std::string& line) = 0;
};

}  // namespace app::remote

#endif  // APP_REMOTE_CONSOLE_H
