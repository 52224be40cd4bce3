// The limits of the motor and the drive that typed values are checked against.
// Each check reads the fields' texts and says whether the value passes.
#ifndef APP_FIELDS_INPUTCHECKS_H
#define APP_FIELDS_INPUTCHECKS_H

#include <string_view>

namespace app::fields {

inline constexpr double maxPower = 2000;            // W
inline constexpr double minPowerFactor = 0.6;       // exclusive
inline constexpr double maxPowerFactor = 1;         // exclusive
// Both speed limits give 35 Hz: 2 × 2100 / 120 and 4 × 1050 / 120.
inline constexpr double maxSpeedTwoPoles = 2100;    // rpm
inline constexpr double maxSpeedFourPoles = 1050;   // rpm

bool powerPasses(std::string_view power);
// An empty field passes: the operator has not entered a power factor yet.
bool powerFactorPasses(std::string_view powerFactor);
// An empty demanded speed passes: there is nothing to compare yet.
bool demandSpeedWithinRated(std::string_view ratedSpeed, std::string_view demandSpeed);
bool twoPoleSpeedPasses(std::string_view poles, std::string_view demandSpeed);
bool fourPoleSpeedPasses(std::string_view poles, std::string_view demandSpeed);

}  // namespace app::fields

#endif
