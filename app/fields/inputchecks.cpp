// Limit checks on the typed values; they only judge, the window warns.
#include "app/fields/inputchecks.h"

#include "app/fields/fieldconversion.h"

namespace app::fields {

bool powerPasses(std::string_view power)
{
    return !(numericReading(power) > maxPower);
}

bool powerFactorPasses(std::string_view powerFactor)
{
    if (powerFactor.empty())
        return true;
    const double pf = numericReading(powerFactor);
    return !(pf >= maxPowerFactor || pf <= minPowerFactor);
}

bool demandSpeedWithinRated(std::string_view ratedSpeed, std::string_view demandSpeed)
{
    if (demandSpeed.empty())
        return true;
    return !(numericReading(ratedSpeed) < numericReading(demandSpeed));
}

bool twoPoleSpeedPasses(std::string_view poles, std::string_view demandSpeed)
{
    return !(numericReading(poles) == 2 && numericReading(demandSpeed) > maxSpeedTwoPoles);
}

bool fourPoleSpeedPasses(std::string_view poles, std::string_view demandSpeed)
{
    return !(numericReading(poles) == 4 && numericReading(demandSpeed) > maxSpeedFourPoles);
}

}  // namespace app::fields
