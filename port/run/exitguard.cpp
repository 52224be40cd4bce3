// The exit hook: every run ends, then the idle pair and the seal.
#include "port/run/exitguard.h"

#include "port/backend/crashguard.h"
#include "port/run/sequencer.h"

#include <cstdint>
#include <cstdlib>
#include <thread>

namespace port::run {

namespace {

extern "C" void leaveIdleOnExit()
{
    // An exit is EXIT's kind of end: no cause for the readout, nobody reads it.
    Sequencer::stopAllKeepAlives();
    Sequencer::endAllRuns(RunEndCause::None);
    const auto giveUp = std::chrono::steady_clock::now() + ExitGuard::idleWait;
    std::uint64_t runs = 0;
    while (!Sequencer::allIdle(runs) && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (std::uint64_t before = runs; Sequencer::allIdle(before)) {
        // Sealed, the port takes nothing more. When no run has started
        // since the look above, the step threads' idle pairs are the last
        // writes, and the port stays as they left it.
        backend::CrashGuard::seal();
        if (Sequencer::allIdle(runs) && runs == before)
            return;
    }
    // A step thread that did not end in time, or a run another thread took
    // meanwhile (its pair may have gone out before the seal): the idle pair
    // from here, last.
    backend::CrashGuard::leaveIdleNow();
}

}  // namespace

bool ExitGuard::install() noexcept
{
    static const bool registered = std::atexit(leaveIdleOnExit) == 0 && std::at_quick_exit(leaveIdleOnExit) == 0;
    return registered;
}

}  // namespace port::run
