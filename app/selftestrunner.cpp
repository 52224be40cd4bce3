// The self-test on Qt's thread pool; the cancel flag is shared with the
// test's thread, so cancelling never waits for it.
#include "app/selftestrunner.h"

#include <QtConcurrent/QtConcurrentRun>

namespace app {

SelfTestRunner::SelfTestRunner(port::StepThreadSetup setup, QObject* parent)
    : QObject(parent)
    , setup_(std::move(setup))
{
    connect(&watcher_, &QFutureWatcher<port::SelfTestResult>::finished, this,
            [this] { emit finished(watcher_.result()); });
}

SelfTestRunner::~SelfTestRunner()
{
    cancel();
    watcher_.waitForFinished();
}

bool SelfTestRunner::isRunning() const
{
    return watcher_.isRunning();
}

void SelfTestRunner::start(std::chrono::nanoseconds duration)
{
    if (isRunning())
        return;
    cancel_ = std::make_shared<std::atomic<bool>>(false);
    watcher_.setFuture(QtConcurrent::run([cancel = cancel_, setup = setup_, duration] {
        return port::runTimingSelfTest(duration, *cancel, setup);
    }));
}

void SelfTestRunner::cancel()
{
    if (cancel_)
        cancel_->store(true, std::memory_order_release);
}

} // namespace app
