// The console as the register map sees it: what it shows, read without
// waiting for the window; requests handed to the window and answered once
// done there; and what acts at once from the server's thread, never waiting
// for the window: a STOP, a start called off, the communication-loss stop.
// Plain C++, so that the map is tested and fuzzed without a window or a
// network.
#ifndef APP_REMOTE_CONSOLE_H
#define APP_REMOTE_CONSOLE_H

#include "app/remote/refusal.h"
#include "port/run/runcontrol.h"
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
        Type,     // type the fields
        NewCount, // type them, Required Voltage, then RUN's new count for ticket's start or run
        Start,    // type them, Required Voltage, then RUN through ticket
    };
    Action action = Action::Type;
    std::vector<FieldValue> fields;
    // Refuse the rating, the poles and V/f while a run is alive or a start waits.
    bool ratingWritten = false;
    // Type: decided while no run was alive and no start waited; refused
    // (NotInControl) if the operator has started one since.
    bool whileIdle = false;
    std::shared_ptr<port::run::StartTicket> ticket;  // Start, NewCount
};

struct WindowOutcome {
    enum class Kind : std::uint8_t { Done, Refused };
    Kind kind = Kind::Done;
    Refusal refusal = Refusal::None;
};

using RequestId = std::uint64_t;

// Why the last run ended, or the last remote start waiting was called off:
// input register 30008. 1-5 are port::run::RunEndCause's.
enum class EndCode : std::uint16_t {
    None = 0,  // a run alive, or none yet
    PortFailed = 1,
    CpuLimit = 2,
    WindowSilent = 3,
    Signal = 4,
    CommunicationLost = 5,
    ControllerStop = 6,  // the STOP of the client in control (or in control when remote control went off)
    OtherStop = 7,       // another client's STOP
    OperatorStop = 8,    // the operator's STOP at the window (or Ctrl+Z at the terminal)
    OperatorExit = 9,    // EXIT, the window closed, a termination signal the window took
    SwitchedOff = 10,    // remote control turned off: the start waiting was called off
    ClientClosed = 11,   // the client's connection closed: its start waiting was called off
    StartRefused = 12,   // never in 30008: the trip of a start a check refused (RemoteView::trip)
};

// What the console shows now.
struct ConsoleReadings {
    port::run::RunIdentity identity;  // the state and the run, read as one
    std::uint64_t trips = 0;          // runs that ended at once with a cause
    port::run::RunEndCause endCause = port::run::RunEndCause::None;  // of identity.run
    port::run::RunEnd lastEnd;        // who stopped which run
    std::int64_t delayCount = 0;
    double definedFrequency = 0.0;             // Hz
    std::optional<double> measuredFrequency;  // Hz
    std::uint64_t cycles = 0;
    bool realtime = false;  // the steps are held at real-time priority
    bool remoteControlOn = false;
    std::uint64_t switchChanges = 0;   // times the operator turned remote control on or off
    bool switchedByFile = false;       // the last switch was the commissioning file's, not the operator's
    std::uint64_t operatorResets = 0;  // times the operator cleared a trip at the window
    // The fields as the window reads them.
    double ratedVoltage = 0.0;     // V, Text1
    double ratedSpeed = 0.0;       // rpm, Text5
    double poles = 0.0;            // Text6
    double speedReference = 0.0;   // rpm, Text7
    double voltsPerHertz = 0.0;    // V/Hz, Text8
    double requiredVoltage = 0.0;  // V, Text10
};

// What the switch's row shows of remote control.
struct RemoteView {
    std::string controller;          // who is in control; empty: nobody
    // The trip latched: 1-5 or StartRefused; None for a cause unknown.
    std::optional<EndCode> trip;
    EndCode lastEnd = EndCode::None; // why the last run ended
    std::string stoppedBy;           // whose STOP that was (ControllerStop, OtherStop)
};

class Console {
public:
    // Told, from another thread (the window's): the outcome of a request
    // handed over, exactly once for each one not withdrawn; and that
    // something the map reads has changed (remote control switched, a run
    // begun or ended, a trip cleared). Must not wait.
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
    // A held STOP (port::run::RunControl::stopHeld): true when a run, or a
    // start waiting, was stopped. onlyRun: that run only, while Running.
    virtual bool stop(std::optional<std::uint64_t> onlyRun) = 0;
    // True when the start had not happened and now never will.
    virtual bool callOff(port::run::StartTicket& ticket) = 0;
    virtual void communicationLost(std::chrono::nanoseconds silence, std::uint64_t run) = 0;
    // For the operator: who controls, a trip, who stopped the last run.
    virtual void show(const RemoteView& view) = 0;
    // One line of the log of remote control.
    virtual void audit(const std::string& line) = 0;
};

}  // namespace app::remote

#endif  // APP_REMOTE_CONSOLE_H
