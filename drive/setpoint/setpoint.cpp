// Required Voltage: frequency from speed and poles, voltage from V/f, timing from frequency.
#include "drive/setpoint/setpoint.h"

#include <cmath>

namespace drive {

SetPoint computeSetPoint(double poles, double demandSpeed, double voltsPerHertz,
                         double ratedVoltage, const HeldValues& previous)
{
    SetPoint result;
    HeldValues& v = result.values;
    v.poles = poles;
    v.demandSpeed = demandSpeed;
    v.voltsPerHertz = voltsPerHertz;
    v.frequency = (poles * demandSpeed) / rpmPerHertzPole;
    v.requiredVoltage = voltsPerHertz * v.frequency;

    // Keep the timing RUN would use when no period can be formed: dividing by a zero
    // or non-finite frequency would hand the sequencer an infinite, undefined or
    // meaningless (1 / inf = 0) dwell.
    v.period = previous.period;
    v.stepTime = previous.stepTime;

    if (v.frequency == 0) {
        result.verdict = Verdict::ZeroFrequency;
        return result;
    }
    const double period = 1 / v.frequency;
    const double stepTime = (period / static_cast<double>(port::pattern::stepsPerCycle)) * 1000;
    if (!std::isfinite(v.frequency) || !std::isfinite(period) || !std::isfinite(stepTime)) {
        result.verdict = Verdict::OutOfRange;
        return result;
    }

    // The timing is stored whatever the voltage: RUN drives the frequency last
    // asked for, refused or not. An infinite voltage is at or above any rating,
    // and so is an undefined one: only a voltage known to be below it is shown.
    v.period = period;
    v.stepTime = stepTime;
    result.timingValid = true;
    result.verdict = v.requiredVoltage < ratedVoltage ? Verdict::Accepted : Verdict::AtOrAboveRating;
    return result;
}

} // namespace drive
