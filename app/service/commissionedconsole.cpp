// The fields are filled on the console as a remote request fills them, so
// that their checks see the values as any other.
#include "app/service/commissionedconsole.h"

#include "app/console/operatorconsole.h"
#include "app/fields/fieldconversion.h"
#include "app/remote/registermap.h"
#include "app/remote/remoteconsole.h"
#include "app/remote/requestmessagebox.h"
#include "app/service/commissioning.h"

#include <cstdio>
#include <optional>
#include <utility>

namespace app::service {

std::vector<std::uint16_t> lockedRegisters(const MotorValues& motor)
{
    namespace holding = remote::holding;
    std::vector<std::uint16_t> locked;
    for (const auto& [value, address] : {std::pair{motor.ratedVoltage, holding::ratedVoltage},
                                         std::pair{motor.ratedSpeed, holding::ratedSpeed},
                                         std::pair{motor.poles, holding::poles},
                                         std::pair{motor.voltsPerHertz, holding::voltsPerHertz}})
        if (value)
            locked.push_back(address);
    return locked;
}

void putIntoEffect(const Commissioning& commissioning, console::OperatorConsole& console,
                   remote::RemoteConsole& remote, remote::RegisterMap& map, remote::RequestMessageBox& box)
{
    const std::pair<int, std::optional<double>> typed[] = {
        {1, commissioning.motor.ratedVoltage},
        {5, commissioning.motor.ratedSpeed},
        {6, commissioning.motor.poles},
        {8, commissioning.motor.voltsPerHertz},
    };
    box.capture();
    for (const auto& [number, value] : typed)
        if (value)
            console.fill(number, QString::fromStdString(fields::displayText(*value)));
    if (const std::optional<QString> message = box.release())
        std::fprintf(stderr, "frequency-converter: WARNING: the commissioned motor values: %s\n",
                     qPrintable(message->trimmed()));
    map.setTimeout(commissioning.communicationLossTimeout);
    remote.setRemoteControl(commissioning.remoteControl, remote::RemoteConsole::Switched::ByCommissioning);
}

}  // namespace app::service
