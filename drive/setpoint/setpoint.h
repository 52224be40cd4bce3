// The set-point of the drive: output frequency, required voltage, period and
// step time derived from the pole count, the demanded speed and the V/f ratio.
#ifndef DRIVE_SETPOINT_SETPOINT_H
#define DRIVE_SETPOINT_SETPOINT_H

#include "port/pattern/steppattern.h"

namespace drive {

// One cycle of the output pattern has port::pattern::stepsPerCycle steps; that many
// step times make one period.
// Synchronous speed in rpm is 120 × frequency / poles.
inline constexpr double rpmPerHertzPole = 120.0;

// The values the window holds between Required Voltage presses. Unset counts as 0.
struct HeldValues {
    double poles = 0;
    double demandSpeed = 0;
    double voltsPerHertz = 0;
    double frequency = 0;        // Hz
    double requiredVoltage = 0;  // V
    double period = 0;           // s
    double stepTime = 0;         // ms
};

enum class Verdict {
    Accepted,         // below the rated voltage: show it
    AtOrAboveRating,  // not below the rated voltage (an infinite one included): refuse it
    ZeroFrequency,    // poles or speed is 0: there is no period to divide into steps
    OutOfRange,       // the frequency, period or step time is infinite or undefined
};

struct SetPoint {
    HeldValues values;
    // False when period and stepTime could not be formed; the caller keeps the ones it had.
    bool timingValid = false;
    Verdict verdict = Verdict::ZeroFrequency;
};

// previous supplies period and stepTime where the new ones cannot be formed, so a
// refused request never leaves RUN with an infinite or undefined step time. Where
// they can be formed they are stored, whether the voltage is accepted or refused.
SetPoint computeSetPoint(double poles, double demandSpeed, double voltsPerHertz,
                         double ratedVoltage, const HeldValues& previous);

} // namespace drive

#endif
