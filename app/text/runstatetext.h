// The run's state in words, as the window's strip shows it: "Running: delay
// count 23809, defined 30.00 Hz, measured 29.98 Hz", how the last run ended.
#ifndef APP_TEXT_RUNSTATETEXT_H
#define APP_TEXT_RUNSTATETEXT_H

#include <QString>

#include "port/run/runcontrol.h"

namespace app::text {

QString runStateText(const port::run::RunReadout& readout);
// Why the last run ended at once without STOP, or empty: "Stopped: the
// window did not answer for 3.2 s".
QString runEndCauseText(const port::run::RunReadout& readout);

}  // namespace app::text

#endif  // APP_TEXT_RUNSTATETEXT_H
