// --idle-port: the idle pair (data 0, then control 2) on the commissioned
// port, and nothing else, for the case no handler of the program could
// reach: systemd runs it after the service has ended however it ended
// (ExecStopPost=), SIGKILL included, and after a power loss the next start
// does the same before anything else. Plain C++.
#ifndef APP_SERVICE_IDLEPORT_H
#define APP_SERVICE_IDLEPORT_H

#include "port/backend/portselection.h"

#include <string>

namespace app::service {

// Opens choice as --port opens it, with keepAlive as --keep-alive; its lines
// (the description, a refusal's remedy) name the file's key, "port = ...",
// rather than an option the file's user never typed.
port::backend::OpenedPort openCommissionedPort(const std::string& choice, const std::string& keepAlive = {});

// Opens choice (a --port choice; auto is refused), writes the idle pair,
// closes it. 0 and one line on stderr saying so; 2 and one error line when
// the port cannot be opened, 1 when a write failed.
int writeIdlePair(const std::string& choice);

}  // namespace app::service

#endif  // APP_SERVICE_IDLEPORT_H
