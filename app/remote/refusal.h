// Why the console refused what it was asked: one code for each message the
// window's checks and handlers give, and for what only a remote request can
// meet. The window names the code where it says the message; the register
// map reports the last one a remote request met.
#ifndef APP_REMOTE_REFUSAL_H
#define APP_REMOTE_REFUSAL_H

#include <cstdint>

namespace app::remote {

enum class Refusal : std::uint16_t {
    None = 0,
    RemoteControlOff = 1,        // a write while the operator has remote control off
    WindowBusy = 2,              // the window did not take the request in time
    NoCommunicationTimeout = 3,  // RUN with the communication-loss timeout at 0
    TwoPoleSpeed = 4,            // "The speed value must be less than 2100"
    FourPoleSpeed = 5,           // "The speed value must be less than 1050"
    AboveRatedSpeed = 6,         // "The speed value must be less than or equal the rated"
    VoltageNotBelowRating = 7,   // Required Voltage: "Enter the correct value"
    ZeroFrequency = 8,           // Required Voltage: the frequency is 0 Hz
    FrequencyOutOfRange = 9,     // Required Voltage: too large or too small to divide into steps
    Power = 10,                  // the operator's power field (not in the map)
    PowerFactor = 11,            // the operator's power factor field (not in the map)
    PortError = 12,              // the port failed
};

}  // namespace app::remote

#endif  // APP_REMOTE_REFUSAL_H
