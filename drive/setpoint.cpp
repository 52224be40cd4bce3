// Required Voltage: frequency from speed and poles, voltage from V/f, timing from frequency.
#include "drive/setpoint.h"

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
    // or non-finite frequency would hand the sequencer an infinite or undefined dwell.
    v.period = previous.period;
    v.stepTime = previous.stepTime;

    if (v.frequency == 0) {
        result.verdict = Verdict::ZeroFrequency;
        return result;
    }
    const double period = 1 / v.frequency;
    const double stepTime = (period / static_cast<double>(port::stepsPerCycle)) * 1000;
    if (!std::isfinite(v.frequency) || !std::isfinite(v.requiredVoltage)
        || !std::isfinite(period) || !std::isfinite(stepTime)) {
        result.verdict = Verdict::OutOfRange;
        return result;
    }

    v.period = period;
    v.stepTime = stepTime;
    result.timingValid = true;
    result.verdict = v.requiredVoltage >= ratedVoltage ? Verdict::AtOrAboveRating
                                                       : Verdict::Accepted;
    return result;
}

} // namespace drive
