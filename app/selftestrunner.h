// The timing self-test off the window's thread: started, cancelled without
// waiting, its result delivered on the window's thread.
#ifndef APP_SELFTESTRUNNER_H
#define APP_SELFTESTRUNNER_H

#include <QFutureWatcher>
#include <QObject>

#include <atomic>
#include <chrono>
#include <memory>

#include "port/sequencer.h"
#include "port/timingselftest.h"

namespace app {

class SelfTestRunner : public QObject
{
    Q_OBJECT

public:
    // setup asks for the step thread's priority, as a run's does.
    explicit SelfTestRunner(port::StepThreadSetup setup, QObject* parent = nullptr);
    ~SelfTestRunner() override;  // cancels and waits: the test's thread must not outlive the window

    bool isRunning() const;
    void start(std::chrono::nanoseconds duration);
    // Returns at once; the test notices within a millisecond, skips its
    // analysis and reports itself cancelled.
    void cancel();

signals:
    void finished(const port::SelfTestResult& result);

private:
    port::StepThreadSetup setup_;
    std::shared_ptr<std::atomic<bool>> cancel_;
    QFutureWatcher<port::SelfTestResult> watcher_;
};

} // namespace app

#endif
