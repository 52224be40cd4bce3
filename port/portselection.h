// Chooses the port at start: the parallel port at 0x378 when it can be
// reached, otherwise the simulated port, with one line saying which and why.
#ifndef PORT_PORTSELECTION_H
#define PORT_PORTSELECTION_H

#include "port/ieee1284api.h"
#include "port/port.h"

#include <memory>
#include <string>
#include <string_view>

namespace port {

struct OpenedPort {
    std::unique_ptr<Port> port;
    // One line for the window, e.g. "Port: /dev/parport0 (0x378)" or
    // "Port: simulated — no parallel port (/dev/parport0: No such file or directory)".
    std::string description;
};

// choice: "auto" (or empty), "simulated", or a device such as "/dev/parport1".
// Never throws for an unreachable port: it falls back to simulated and says
// why. Nothing is written and the port is not claimed here.
OpenedPort openPort(std::string_view choice);
// The same through api, which must outlive the returned port.
OpenedPort openPort(std::string_view choice, const Ieee1284Api& api);

}  // namespace port

#endif  // PORT_PORTSELECTION_H
