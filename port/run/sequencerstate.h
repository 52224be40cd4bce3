// The state of a run, and why the last one ended, for those who only need to
// show or test it.
#ifndef PORT_RUN_SEQUENCERSTATE_H
#define PORT_RUN_SEQUENCERSTATE_H

#include <cstdint>

namespace port::run {

// Idle: nothing is written. Running: cycles are written. Stopping: STOP has
// come; the cycle under way completes, then the idle pair, then Idle.
enum class SequencerState : std::uint8_t { Idle, Running, Stopping };

// Which run is alive and in what state, read as one: a reader never sees
// the number of a run that has just begun beside the Idle before it.
struct RunIdentity {
    SequencerState state = SequencerState::Idle;
    std::uint64_t run = 0;  // the run alive, or the last one; 0 before the first

    bool alive() const { return state != SequencerState::Idle; }
    friend bool operator==(const RunIdentity&, const RunIdentity&) = default;
};

// Why a run ended at once without the operator's STOP or EXIT. Each still
// ends with the pair under way whole and the idle pair last (where the port
// still takes writes).
enum class RunEndCause : std::uint8_t {
    None,          // still running, or ended by STOP or EXIT
    PortFailed,    // a write or the port's check failed: the port went away
    CpuLimit,      // SIGXCPU: the kernel's real-time CPU limit was nearly used up
    WindowSilent,  // the window missed its heartbeat for too long
    Signal,        // a termination signal, and the window did not take the way out in time
    CommunicationLost,  // the remote client that started the run went silent
};

}  // namespace port::run

#endif  // PORT_RUN_SEQUENCERSTATE_H
