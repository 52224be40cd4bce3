// How the step thread keeps time, in words: the priority it was granted and,
// while a run is alive, whether its steps leave it time to sleep. The strip,
// the self-test's dialog and its verdict all say it this one way.
#ifndef APP_TEXT_TIMINGTEXT_H
#define APP_TEXT_TIMINGTEXT_H

#include <QString>

#include "port/run/realtimepriority.h"
#include "port/run/sequencer.h"

namespace app::text {

// "real-time (SCHED_FIFO 40)", "real-time (SCHED_RR 20, RealtimeKit)" (it
// grants round-robin) or "normal priority".
QString priorityText(const port::run::PriorityGrant& grant);

// "Timing: real-time (SCHED_FIFO 40), sleeping between steps" (the last part
// only while a run is alive), "Timing: normal priority — other programs can
// delay the steps (...)", or "Timing: setting up the step thread" before the
// step thread has said.
QString timingText(const port::run::TimingMode& mode);

}  // namespace app::text

#endif
