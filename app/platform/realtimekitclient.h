// RealtimeKit on the system bus, asked from the step thread itself: a plain
// std::thread without an event loop, so only blocking calls with a timeout.
#ifndef APP_PLATFORM_REALTIMEKITCLIENT_H
#define APP_PLATFORM_REALTIMEKITCLIENT_H

#include "port/run/realtimepriority.h"

namespace app::platform {

class RealtimeKitClient : public port::run::RealtimeKit
{
public:
    // Long enough for the bus to start the service on demand, short enough
    // that a hung bus delays a run's start only briefly.
    static constexpr int timeoutMs = 2000;

    bool limits(Limits& limits, std::string& why) override;
    bool makeThreadRealtime(std::uint64_t pid, std::uint64_t tid, std::uint32_t priority,
                            std::string& why) override;
};

}  // namespace app::platform

#endif
