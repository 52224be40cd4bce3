// The self-test on a thread of its own. The cancel flag and the way back to
// the runner are shared with that thread, so neither cancelling nor the
// runner's end ever waits for it.
#include "app/selftest/selftestrunner.h"

#include <QMetaObject>

#include <atomic>
#include <mutex>
#include <system_error>
#include <thread>

namespace app::selftest {

struct SelfTestRunner::Link {
    std::atomic<bool> cancel{false};
    std::mutex mutex;
    SelfTestRunner* runner = nullptr;  // guarded by mutex; null once the runner is gone
};

SelfTestRunner::SelfTestRunner(port::run::StepThreadSetup setup, QObject* parent)
    : QObject(parent)
    , setup_(std::move(setup))
{
}

SelfTestRunner::~SelfTestRunner()
{
    if (!link_)
        return;
    link_->cancel.store(true, std::memory_order_release);
    // Held by the test's thread only while it posts its result.
    std::lock_guard lock(link_->mutex);
    link_->runner = nullptr;
}

void SelfTestRunner::start(std::chrono::nanoseconds duration)
{
    if (isRunning())
        return;
    auto link = std::make_shared<Link>();
    link->runner = this;
    link_ = link;
    // A std::thread, not Qt's global thread pool: the test blocks for
    // seconds, and Qt's raster engine waits on that pool while it paints, so
    // a test there can freeze the window for as long.
    const auto post = [](const std::shared_ptr<Link>& link, const port::selftest::SelfTestResult& result) {
        std::lock_guard lock(link->mutex);
        // Queued to the runner's thread; dropped by Qt with the runner if it goes first.
        if (SelfTestRunner* runner = link->runner)
            QMetaObject::invokeMethod(
                runner, [runner, link, result] { runner->deliver(link, result); }, Qt::QueuedConnection);
    };
    try {
        std::thread([link, post, setup = setup_, duration] {
            post(link, port::selftest::runTimingSelfTest(duration, link->cancel, setup));
        }).detach();
    } catch (const std::system_error& error) {
        port::selftest::SelfTestResult result;
        result.failure = {port::selftest::SelfTestFailure::Kind::NoThread, {}, error.what()};
        post(link, result);
    }
}

void SelfTestRunner::cancel()
{
    if (link_)
        link_->cancel.store(true, std::memory_order_release);
}

void SelfTestRunner::deliver(const std::shared_ptr<Link>& link, const port::selftest::SelfTestResult& result)
{
    if (link != link_)
        return;
    link_.reset();
    emit finished(result);
}

}  // namespace app::selftest
