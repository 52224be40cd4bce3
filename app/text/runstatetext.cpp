// The run's state in the strip's words; the strip and systemd's status line
// say it alike. The words keep the strip's translation context.
#include "app/text/runstatetext.h"

#include <QCoreApplication>

#include "app/text/durationtext.h"

namespace app::text {

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("StatusStrip", text);
}

}  // namespace

QString runStateText(const port::run::RunReadout& readout)
{
    switch (readout.state) {
    case port::run::SequencerState::Idle:
        break;
    case port::run::SequencerState::Running:
        return tr("Running: delay count %1, defined %2, measured %3")
            .arg(readout.delayCount)
            .arg(text::frequencyText(readout.definedFrequency),
                 readout.measuredFrequency ? text::frequencyText(*readout.measuredFrequency) : tr("—"));
    case port::run::SequencerState::Stopping:
        return tr("Stopping: the cycle under way completes, then the port goes idle");
    }
    if (readout.afterRun) {
        if (const QString cause = runEndCauseText(readout); !cause.isEmpty())
            return cause;
    }
    if (readout.afterRun && readout.lastStop) {
        if (readout.lastStop->kind == port::run::StopOutcome::Kind::AtOnce)
            return tr("Stopped at once: the cycle would have taken %1").arg(durationText(readout.lastStop->cycleLeft));
        if (readout.lastStop->kind == port::run::StopOutcome::Kind::AgainAtOnce)
            return tr("Stopped at once (STOP pressed again)");
        return tr("Stopped after the cycle under way");
    }
    return tr("Idle");
}

QString runEndCauseText(const port::run::RunReadout& readout)
{
    switch (readout.endCause) {
    case port::run::RunEndCause::None:
        break;
    case port::run::RunEndCause::PortFailed:
        return tr("Stopped: the port stopped answering; the idle values were tried");
    case port::run::RunEndCause::CpuLimit:
        return tr("Stopped: the kernel's real-time CPU limit (RLIMIT_RTTIME) was nearly used up");
    case port::run::RunEndCause::WindowSilent:
        if (readout.windowSilence > std::chrono::nanoseconds::zero())
            return tr("Stopped: the window did not answer for %1").arg(durationText(readout.windowSilence, 2));
        return tr("Stopped: the window did not answer");
    case port::run::RunEndCause::Signal:
        return tr("Stopped: a termination signal the window did not answer");
    case port::run::RunEndCause::CommunicationLost:
        return tr("Stopped: the remote client sent nothing for %1")
            .arg(durationText(readout.communicationSilence, 2));
    }
    return {};
}

}  // namespace app::text
