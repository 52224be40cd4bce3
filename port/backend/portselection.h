// Chooses the port at start: the parallel port at 0x378 when it can be
// reached, the simulated port where there is none, with one line saying
// which and why, or a refusal with its remedy.
#ifndef PORT_BACKEND_PORTSELECTION_H
#define PORT_BACKEND_PORTSELECTION_H

#include "port/backend/gpioapi.h"
#include "port/backend/ieee1284api.h"
#include "port/backend/port.h"
#include "port/backend/portlock.h"

#include <memory>
#include <string>
#include <string_view>

namespace port::backend {

struct OpenedPort {
    // Held as long as the port, and let go only after it has closed (members
    // are destroyed last to first). Null for the simulated port.
    std::unique_ptr<PortLock> lock;
    // Null when refused.
    std::unique_ptr<Port> port;
    // One line for the window, e.g. "Port: /dev/parport0 (0x378)" or
    // "Port: simulated — no parallel port (/dev/parport0: No such file or directory)".
    std::string description;
    // Set when the program must not start, e.g. "/dev/parport0: Permission
    // denied; add the user to group lp and log in again, or use
    // --port=simulated to try the program without the converter". Then
    // nothing was opened.
    std::string refusal;
};

// choice: "auto" (or empty), "simulated", a device such as "/dev/parport1",
// or "gpio:CHIP[:LINES]" (openGpioPort). keepAlive (--keep-alive), when not
// empty: the pin that carries the keep-alive, 1, 16 or 17 on a parallel or
// the simulated port (parallelKeepAlivePin), a line on GPIO; a pin that
// cannot serve is refused before anything is opened.
// Never throws. Only "auto" falls back to simulated, and only where there is
// no parallel port (no node, no driver or hardware behind it, none listed at
// 0x378 by the library), saying why. A port that is there but cannot be used
// (no permission, busy, held by another program) is refused, under "auto" as
// for a device named by hand, with the remedy: a simulated port in its place
// would leave the operator believing the motor runs. The program writes
// nothing here and keeps no claim; the library's brief claims while it lists
// and opens the port make the kernel write the saved control state (see
// port.h).
OpenedPort openPort(std::string_view choice, std::string_view keepAlive = {});
// The same through api, which must outlive the returned port.
OpenedPort openPort(std::string_view choice, const Ieee1284Api& api);
// The same with the lock taken on deviceRoot + the device's path, so that
// tests can lock plain files in place of /dev/parportN; "" is the system's.
OpenedPort openPort(std::string_view choice, const Ieee1284Api& api, const std::string& deviceRoot,
                    std::string_view keepAlive = {});
// "gpio:CHIP[:LINES]" through api, which must outlive the returned port:
// the GPIO port with its lines (and keepAlive's, an offset or a line name of
// the same chip) requested at the idle levels, or the refusal
// (one line naming the chip or the line, with the remedy; then no line was
// requested or set). Never falls back to the simulated port. Never throws.
OpenedPort openGpioPort(std::string_view choice, const GpioApi& api, std::string_view keepAlive = {});

}  // namespace port::backend

#endif  // PORT_BACKEND_PORTSELECTION_H
