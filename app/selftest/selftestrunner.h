// The timing self-test off the window's thread: started, cancelled without
// waiting, its result delivered on the window's thread.
#ifndef APP_SELFTEST_SELFTESTRUNNER_H
#define APP_SELFTEST_SELFTESTRUNNER_H

#include <QObject>

#include <chrono>
#include <memory>

#include "port/run/sequencer.h"
#include "port/selftest/timingselftest.h"

namespace app::selftest {

class SelfTestRunner : public QObject
{
    Q_OBJECT

public:
    // setup asks for the step thread's priority, as a run's does.
    explicit SelfTestRunner(port::run::StepThreadSetup setup, QObject* parent = nullptr);
    // Cancels and waits for nothing: the test's thread ends on its own, within
    // the self-test's end limit, and its result then goes nowhere.
    ~SelfTestRunner() override;

    // From start() until finished has been emitted.
    bool isRunning() const { return link_ != nullptr; }
    void start(std::chrono::nanoseconds duration);
    // Returns at once; the test notices within a millisecond or so, ends its
    // step thread, skips its analysis and reports itself cancelled.
    void cancel();

signals:
    void finished(const port::selftest::SelfTestResult& result);

private:
    struct Link;

    void deliver(const std::shared_ptr<Link>& link, const port::selftest::SelfTestResult& result);

    port::run::StepThreadSetup setup_;
    std::shared_ptr<Link> link_;  // to the test under way; null when none is
};

}  // namespace app::selftest

#endif
