// Leaves the port idle when the process ends through exit() or quick_exit()
// while a run is alive, wherever they are called from: Qt's X11 plugin calls
// exit(1) when the display goes away (a logout, a dropped ssh -X, xkill),
// and a library may do the same. Every run ends at once with its idle pair,
// then the crash guard seals the port, so that nothing follows the pair;
// where a step thread did not end in time, the crash guard writes the pair.
//
// Safety assumptions:
//  - _exit() and _Exit() run no hooks: a library that ends the process that
//    way leaves the port as it was (so does SIGKILL); only a keep-alive
//    watched by the converter covers those.
//  - On an ordinary exit, after main() has returned, the sequencers have
//    left the registry and the ports have left the crash guard: the hook
//    then writes nothing.
#ifndef PORT_RUN_EXITGUARD_H
#define PORT_RUN_EXITGUARD_H

#include <chrono>

namespace port::run {

class ExitGuard {
public:
    ExitGuard() = delete;

    // How long the hook gives the step threads to write the idle pair
    // themselves before the crash guard writes it: a step thread that is not
    // stuck ends the pair under way within microseconds.
    static constexpr std::chrono::milliseconds idleWait{200};

    // Registers the hook with atexit() and at_quick_exit(), once. Hooks run
    // in the reverse order of their registration, so the later this is
    // called (just before the event loop), the fewer other hooks and static
    // destructors run before it. False when the C library refuses one.
    static bool install() noexcept;
};

}  // namespace port::run

#endif  // PORT_RUN_EXITGUARD_H
