// The priority in the scheduler's own terms (SCHED_FIFO, SCHED_RR), which the
// README's section on real-time priority explains.
#include "app/text/timingtext.h"

#include <QCoreApplication>

namespace app::text {

QString priorityText(const port::run::PriorityGrant& grant)
{
    if (grant.priorityClass != port::run::PriorityClass::Realtime)
        return QCoreApplication::translate("app::TimingText", "normal priority");
    if (grant.grantor == port::run::PriorityGrantor::RealtimeKit)
        return QCoreApplication::translate("app::TimingText", "real-time (SCHED_RR %1, RealtimeKit)").arg(grant.priority);
    return QCoreApplication::translate("app::TimingText", "real-time (SCHED_FIFO %1)").arg(grant.priority);
}

QString timingText(const port::run::TimingMode& mode)
{
    if (!mode.known)
        return QCoreApplication::translate("app::TimingText", "Timing: setting up the step thread");
    const QString priority = priorityText(mode.grant);
    if (mode.grant.priorityClass != port::run::PriorityClass::Realtime)
        return QCoreApplication::translate("app::TimingText", "Timing: %1 — other programs can delay the steps "
                                                              "(see README, Real-time priority)")
            .arg(priority);
    if (!mode.sleeping)
        return QCoreApplication::translate("app::TimingText", "Timing: %1").arg(priority);
    const char* const pattern = *mode.sleeping
                                    ? QT_TRANSLATE_NOOP("app::TimingText", "Timing: %1, sleeping between steps")
                                    : QT_TRANSLATE_NOOP("app::TimingText", "Timing: %1, spinning: steps too short to sleep");
    return QCoreApplication::translate("app::TimingText", pattern).arg(priority);
}

}  // namespace app::text
