// Why a remote request was refused: one code for each check of the window
// that a request can meet, and for what only a remote request can meet. The
// register map reports the last one until a fault reset.
#ifndef APP_REMOTE_REFUSAL_H
#define APP_REMOTE_REFUSAL_H

#include <cstdint>
#include <string_view>

namespace app::remote {

enum class Refusal : std::uint16_t {
    None = 0,
    RemoteControlOff = 1,       // a write while the operator has remote control off
    WindowBusy = 2,             // the window did not begin the request in time: it never ran
    NotInControl = 3,           // a run alive, or a start waiting, that another controls
    TwoPoleSpeed = 4,           // the 2-pole speed check
    FourPoleSpeed = 5,          // the 4-pole speed check
    AboveRatedSpeed = 6,        // the speed reference above the rated speed
    VoltageNotBelowRating = 7,  // Required Voltage: not below the rated voltage
    ZeroFrequency = 8,          // Required Voltage: the frequency is 0 Hz
    FrequencyOutOfRange = 9,    // Required Voltage: too large or too small to divide into steps
    RunAlive = 10,              // the rating, poles and V/f are written only while no run is alive or waits
    TripLatched = 11,           // RUN's rising edge while a trip is latched: reset the fault first
    FullSpeed = 12,             // the delay count would not be above 0
    Locked = 13,                // a register locked by the commissioning file
    CalledOff = 14,             // a start called off by a STOP sent after it: it never ran
    StopOnly = 15,              // the STOP in the request was taken; the rest of it was not written
};

// In a few words, for the log: "the speed is above 1050 rpm with 4 poles".
std::string_view refusalText(Refusal refusal);
// The Modbus exception a request refused for it gets: 1, 4 or 6.
std::uint8_t exceptionFor(Refusal refusal);
// A start refused by a check of the operating point is a trip; one that
// was not tried (remote control off, not begun, a run alive) is not.
bool refusedByCheck(Refusal refusal);

}  // namespace app::remote

#endif  // APP_REMOTE_REFUSAL_H
