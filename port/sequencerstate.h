// The state of a run, for those who only need to show or test it.
#ifndef PORT_SEQUENCERSTATE_H
#define PORT_SEQUENCERSTATE_H

namespace port {

// Idle: nothing is written. Running: cycles are written. Stopping: STOP has
// come; the cycle under way completes, then the idle pair, then Idle.
enum class SequencerState { Idle, Running, Stopping };

}  // namespace port

#endif  // PORT_SEQUENCERSTATE_H
