// What the console's checks say, each in one place: the box the operator
// sees, and the strip's line for a remote request that the same check refuses.
#ifndef APP_CONSOLE_CHECKMESSAGES_H
#define APP_CONSOLE_CHECKMESSAGES_H

#include <QString>

namespace app::console {

enum class Check {
    Power,
    PowerFactor,
    TwoPoleSpeed,
    FourPoleSpeed,
    AboveRatedSpeed,
    VoltageNotBelowRating,  // Required Voltage
    ZeroFrequency,          // Required Voltage
    FrequencyOutOfRange,    // Required Voltage
};

struct CheckMessage {
    QString prompt;
    QString title;  // empty: the application's
};

CheckMessage checkMessage(Check check);

}  // namespace app::console

#endif  // APP_CONSOLE_CHECKMESSAGES_H
