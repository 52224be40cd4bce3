// The table, one case per state; an event a state does not list leaves it
// as it is.
#include "app/remote/controlstate.h"

namespace app::remote {

ControlState nextState(ControlState now, ControlEvent event, bool runAlive)
{
    using S = ControlState;
    using E = ControlEvent;
    // Nobody controls a run that is left behind.
    const S nobody = runAlive ? S::Unattended : S::Ready;
    if (event == E::SwitchedOff)
        return S::Off;
    switch (now) {
    case S::Off:
        return event == E::SwitchedOn ? nobody : now;
    case S::Ready:
        if (event == E::Edge)
            return S::Starting;
        return event == E::RunBegan ? S::Unattended : now;
    case S::Starting:
        if (event == E::StartBegan)
            return S::Running;
        return event == E::StartDropped || event == E::ControlLost ? nobody : now;
    case S::Running:
        if (event == E::Edge)
            return S::Starting;  // its own RUN 0, then RUN 1: behind its run still stopping
        if (event == E::RunEnded)
            return S::Ready;
        return event == E::ControlLost ? S::Unattended : now;
    case S::Unattended:
        return event == E::RunEnded ? S::Ready : now;
    }
    return now;
}

std::string_view stateName(ControlState state)
{
    switch (state) {
    case ControlState::Off:
        return "off";
    case ControlState::Ready:
        return "ready";
    case ControlState::Starting:
        return "starting";
    case ControlState::Running:
        return "running";
    case ControlState::Unattended:
        return "unattended";
    }
    return "?";
}

}  // namespace app::remote
