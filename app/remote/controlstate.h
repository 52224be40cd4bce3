// Remote start and stop as one state machine, as drives keep it: the states
// of remote control, the events that move it, and the table of state x event
// -> state that the register map follows, docs/remote-control.md prints and
// the tests' model reads the same. A stop of any kind is an event of the
// table; whether a client's RUN 1 is a start is the map's to say, from the
// client's own RUN 0 after the last of them.
#ifndef APP_REMOTE_CONTROLSTATE_H
#define APP_REMOTE_CONTROLSTATE_H

#include <cstdint>
#include <string_view>

namespace app::remote {

enum class ControlState : std::uint8_t {
    Off,         // the operator has remote control off
    Ready,       // on; no run alive, no start waiting; nobody in control
    Starting,    // a client's start waits: for the window, the self-test, or a run still stopping
    Running,     // the run that client's start began is alive, and the client is in control
    Unattended,  // a run alive that no client controls: the operator's, or one whose client left
};

enum class ControlEvent : std::uint8_t {
    SwitchedOn,      // the operator turned remote control on
    SwitchedOff,     // the operator turned it off (STOP on the window does too)
    Edge,            // a client's RUN edge was taken: its start waits, and it is in control
    StartBegan,      // the sequencer says the start's ticket is Started(n)
    StartDropped,    // it says Dropped: refused, called off by a STOP, the watch or a close
    RunBegan,        // a run that no client's start began: the operator's RUN
    RunEnded,        // the run alive ended: a STOP, EXIT, a trip, the watch
    ControlLost,     // the client in control lost it: its watch ran out, or its only connection closed
};

// The table. runAlive: whether a run is alive after the event.
ControlState nextState(ControlState now, ControlEvent event, bool runAlive);

std::string_view stateName(ControlState state);

}  // namespace app::remote

#endif  // APP_REMOTE_CONTROLSTATE_H
