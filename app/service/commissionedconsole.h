// The commissioning file put into effect on the console at start, as the
// operator would have set it up: the motor's values typed into their fields,
// remote control switched on or off, the communication-loss timeout given
// to the register map.
#ifndef APP_SERVICE_COMMISSIONEDCONSOLE_H
#define APP_SERVICE_COMMISSIONEDCONSOLE_H

#include <cstdint>
#include <vector>

namespace app::remote {
class RegisterMap;
class RemoteConsole;
class RequestMessageBox;
}
namespace app::console {
class OperatorConsole;
}

namespace app::service {

struct Commissioning;
struct MotorValues;

// The holding registers of the motor's values the file fixes: the register
// map refuses a client's write to them (exception 4, a refusal code of its own).
std::vector<std::uint16_t> lockedRegisters(const MotorValues& motor);

// Before the event loop runs and before any client is served. A message the
// fields' checks give is said on stderr, never in a box.
void putIntoEffect(const Commissioning& commissioning, console::OperatorConsole& console,
                   remote::RemoteConsole& remote, remote::RegisterMap& map, remote::RequestMessageBox& box);

}  // namespace app::service

#endif  // APP_SERVICE_COMMISSIONEDCONSOLE_H
