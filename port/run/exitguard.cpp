// The exit hook: every run ends, then the idle pair and the seal.
#include "port/run/exitguard.h"

#include "port/backend/crashguard.h"
#include "port/run/sequencer.h"

#include <cstdlib>
#include <thread>

namespace port::run {

namespace {

extern "C" void leaveIdleOnExit()
{
    // An exit is EXIT's kind of end: no cause for the readout, nobody reads it.
    Sequencer::endAllRuns(RunEndCause::None);
    const auto giveUp = std::chrono::steady_clock::now() + ExitGuard::idleWait;
    while (!Sequencer::allIdle() && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Also after the step thread's own pair: a run a window took meanwhile,
    // or a step thread that did not end in time, is cut off here.
    backend::CrashGuard::leaveIdleNow();
}

}  // namespace

bool ExitGuard::install() noexcept
{
    static const bool registered = std::atexit(leaveIdleOnExit) == 0 && std::at_quick_exit(leaveIdleOnExit) == 0;
    return registered;
}

}  // namespace port::run
