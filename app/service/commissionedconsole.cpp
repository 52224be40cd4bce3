// The fields are typed with the program's own fillField, as a remote request
// types them, so that the window's handlers see the values as typed values.
#include "app/service/commissionedconsole.h"

#include "app/fields/fieldconversion.h"
#include "app/remote/registermap.h"
#include "app/remote/remoteconsole.h"
#include "app/remote/remoteswitch.h"
#include "app/remote/requestmessagebox.h"
#include "app/service/commissioning.h"
#include "app/window/fillfield.h"
#include "app/window/form1.h"

#include <QLineEdit>

#include <cstdio>
#include <optional>
#include <utility>

namespace app::service {

namespace {

// What the register map must refuse from the network: the motor's values the
// file fixes. The map's lock of 40003-40006 (exception 4, its own refusal
// code) is connected here; until it is, the values are only typed, and the
// program says so at start.
void lockMotorValues(remote::RegisterMap& map, const MotorValues& motor)
{
    static_cast<void>(map);
    if (motor.any())
        std::fprintf(stderr, "frequency-converter: WARNING: the commissioned motor values are typed into the "
                             "fields, but this build's register map cannot lock them: a client may still "
                             "write 40003-40006\n");
}

}  // namespace

void putIntoEffect(const Commissioning& commissioning, window::Form1& form, remote::RemoteConsole& console,
                   remote::RegisterMap& map, remote::RequestMessageBox& box)
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
            window::fillField(*form.findChild<QLineEdit*>(QStringLiteral("Text%1").arg(number)),
                              QString::fromStdString(fields::displayText(*value)));
    if (const std::optional<QString> message = box.release())
        std::fprintf(stderr, "frequency-converter: WARNING: the commissioned motor values: %s\n",
                     qPrintable(message->trimmed()));
    lockMotorValues(map, commissioning.motor);
    map.setTimeout(commissioning.communicationLossTimeout);
    console.remoteSwitch().setOn(commissioning.remoteControl);
}

}  // namespace app::service
