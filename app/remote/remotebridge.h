// The console for the register map, over the real window: reads never wait
// for the window (what the window shows is kept here as it changes, the
// run's figures come from run control's atomics); fields and presses are
// carried onto the window's thread and waited for at most windowWait; STOP
// and the communication-loss stop go to run control at once, from the
// server's thread, and the window catches up.
#ifndef APP_REMOTE_REMOTEBRIDGE_H
#define APP_REMOTE_REMOTEBRIDGE_H

#include "app/remote/console.h"

#include <QObject>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace port::run {
class RunControl;
struct RunReadout;
}

namespace app::window {
class Form1;
class RunAdapter;
}

namespace app::remote {

class RemoteBridge : public QObject, public Console
{
    Q_OBJECT

public:
    // A window that has not taken a request within this is busy (exception
    // 6): it answers within milliseconds when it is not, and the server's
    // thread, which serves the other clients and the watch, waits no longer.
    static constexpr std::chrono::milliseconds windowWait{250};

    // Made on the window's thread; form and runs must outlive the bridge.
    RemoteBridge(window::Form1& form, window::RunAdapter& runs, QObject* parent = nullptr);

    ConsoleReadings read() override;
    Refusal setFields(std::span<const FieldValue> values) override;
    Refusal press(Command command) override;
    void communicationLost(std::chrono::nanoseconds silence) override;

private slots:
    void takeRequest();      // on the window's thread: runs the request waiting, if any
    void catchUpWithStop();  // on the window's thread: the window's side of a remote STOP

private:
    struct Pending;
    struct Request {
        std::function<Refusal()> action;
        std::shared_ptr<Pending> pending;
    };

    // Runs action on the window's thread and waits for it at most
    // windowWait; an action not begun by then never runs.
    Refusal onWindow(std::function<Refusal()> action);
    void takeFields();
    void takeReadout(const port::run::RunReadout& readout);

    window::Form1& form_;
    port::run::RunControl& control_;
    std::atomic<bool> remoteOn_{false};
    std::atomic<std::uint64_t> runsEnded_{0};
    std::mutex requestMutex_;
    std::optional<Request> request_;  // guarded by requestMutex_: the one request under way
    std::mutex shownMutex_;
    ConsoleReadings shown_;  // guarded by shownMutex_: the fields and the measured frequency
};

}  // namespace app::remote

#endif  // APP_REMOTE_REMOTEBRIDGE_H
