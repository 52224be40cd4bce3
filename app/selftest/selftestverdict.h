// The timing self-test's result in sentences for the operator: how closely
// this PC holds the steps, from which output frequency that shows, what the
// longest stall means for a motor, or why the test could not measure.
#ifndef APP_SELFTEST_SELFTESTVERDICT_H
#define APP_SELFTEST_SELFTESTVERDICT_H

#include <QLocale>
#include <QString>

namespace port::selftest {
struct SelfTestResult;
}

namespace app::selftest {

// The figures are written in locale: the window's are the operator's, the
// command line's the C locale's, so that a script that reads the sentences
// after the figure lines finds a full stop in them too.

// The timing the step thread got, then the assessment; the assessment alone
// when the test did not measure.
QString selfTestVerdict(const port::selftest::SelfTestResult& result, const QLocale& locale = QLocale());
// The verdict without the timing, for a screen that shows that on its own:
// why real-time priority was refused, how closely steps are held, from which
// output frequency that shows, and what the longest stall means.
QString selfTestAssessment(const port::selftest::SelfTestResult& result, const QLocale& locale = QLocale());
// A test that RUN cut short: that a run needs the step CPU, and what went
// wrong as it ended, if anything did.
QString selfTestCutShortNotice(const port::selftest::SelfTestResult& result, const QLocale& locale = QLocale());

}  // namespace app::selftest

#endif
