// The console as the register map sees it: what it shows, the fields of the
// operating point, the commands of its buttons and the run's emergency way
// out. Plain C++, so that the map is tested and fuzzed without a window or a
// network.
#ifndef APP_REMOTE_CONSOLE_H
#define APP_REMOTE_CONSOLE_H

#include "app/remote/refusal.h"
#include "port/run/sequencerstate.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

namespace app::remote {

// The operating point's fields, in the window's numbering.
enum class Field { RatedVoltage = 1, Poles = 6, DemandedSpeed = 7, VoltsPerHertz = 8 };

struct FieldValue {
    Field field;
    double value;
};

// The buttons a remote client may press.
enum class Command : std::uint16_t { None = 0, RequiredVoltage = 1, Run = 2, Stop = 3 };

// What the console shows now; the fields as the window reads them.
struct ConsoleReadings {
    port::run::SequencerState state = port::run::SequencerState::Idle;
    std::int64_t delayCount = 0;
    double definedFrequency = 0.0;             // Hz
    std::optional<double> measuredFrequency;  // Hz
    std::uint64_t cycles = 0;
    port::run::RunEndCause endCause = port::run::RunEndCause::None;
    std::uint64_t runsEnded = 0;  // how many runs have ended since the start
    bool remoteControlOn = false;
    double ratedVoltage = 0.0;     // V, Text1
    double poles = 0.0;            // Text6
    double demandedSpeed = 0.0;    // rpm, Text7
    double voltsPerHertz = 0.0;    // V/Hz, Text8
    double requiredVoltage = 0.0;  // V, Text10
};

class Console {
public:
    virtual ~Console() = default;
    // Never waits for the window.
    virtual ConsoleReadings read() = 0;
    // Writes the fields as the operator types them, in order; the checks run.
    // None, or why nothing was written.
    virtual Refusal setFields(std::span<const FieldValue> values) = 0;
    // Presses the button: None, or why it was refused. STOP never waits for
    // the window.
    virtual Refusal press(Command command) = 0;
    // The client that started the run sent nothing valid for silence: ends
    // the run at once. Never waits for the window.
    virtual void communicationLost(std::chrono::nanoseconds silence) = 0;
};

}  // namespace app::remote

#endif  // APP_REMOTE_CONSOLE_H
