// The console for the register map, over the real window, which knows
// nothing of it: requests are done with the operator's own means (typing
// into the fields, pressing Required Voltage and RUN) on the window's thread,
// after the window's own checks have passed on what they would leave, so a
// request the window would refuse changes nothing. Reads never wait for the
// window (the fields are kept here as they change, the run's figures come
// from run control's atomics), and neither do a STOP, a start called off or
// the communication-loss stop: they go to run control from the server's
// thread, which keeps the one start that may wait. The operator's switch of
// remote control is a row this adds below the window's strip, showing who is
// in control, a latched trip (which the operator may clear there) and who
// stopped the last run; the operator's STOP turns it off. The operator's
// RUN, STOP and switch are logged beside the remote lines.
#ifndef APP_REMOTE_REMOTECONSOLE_H
#define APP_REMOTE_REMOTECONSOLE_H

#include "app/remote/console.h"

#include <QObject>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace port::run {
class RunControl;
struct RunReadout;
}

namespace app::window {
class Form1;
class RunAdapter;
}

namespace app::remote {

class RemoteSwitch;
class RequestMessageBox;

class RemoteConsole : public QObject, public Console
{
    Q_OBJECT

public:
    // Made on the window's thread; form, runs and box (the one form shows its
    // messages in) must outlive it.
    RemoteConsole(window::Form1& form, window::RunAdapter& runs, RequestMessageBox& box, QObject* parent = nullptr);
    ~RemoteConsole() override;

    void setListener(Listener* listener) override;
    ConsoleReadings read() override;
    void submit(RequestId id, WindowRequest request) override;
    bool withdraw(RequestId id) override;
    bool stop(std::optional<std::uint64_t> onlyRun) override;
    bool callOff(port::run::StartTicket& ticket) override;
    void communicationLost(std::chrono::nanoseconds silence, std::uint64_t run) override;
    void show(const RemoteView& view) override;
    void audit(const std::string& line) override;

    RemoteSwitch& remoteSwitch() const { return *switch_; }

protected:
    bool event(QEvent* event) override;

private slots:
    void takeRequests();  // on the window's thread: the requests handed over, in order

private:
    struct Handed {
        RequestId id;
        WindowRequest request;
    };

    WindowOutcome take(const WindowRequest& request);
    void refuseOnStrip(Refusal refusal);
    void switched(bool on);
    void operatorRan();
    void showViewNow();
    void takeFields();
    void takeReadout(const port::run::RunReadout& readout);
    void tellChanged();

    window::Form1& form_;
    window::RunAdapter& runs_;
    port::run::RunControl& control_;
    RequestMessageBox& box_;
    RemoteSwitch* switch_;
    std::atomic<bool> remoteOn_{false};
    std::atomic<std::uint64_t> switchChanges_{0};
    std::atomic<std::uint64_t> operatorResets_{0};
    std::atomic<bool> viewPosted_{false};  // a view is posted, not shown yet
    bool taking_ = false;          // a remote request presses the window's buttons
    bool operatorStopped_ = false;  // the switch goes off by the operator's STOP

    std::mutex listenerMutex_;
    Listener* listener_ = nullptr;  // guarded by listenerMutex_

    std::mutex handedMutex_;
    std::deque<Handed> handed_;  // guarded by handedMutex_: not begun yet

    std::mutex shownMutex_;
    ConsoleReadings shown_;   // guarded by shownMutex_: the fields and the measured frequency
    RemoteView view_;         // guarded by shownMutex_
};

}  // namespace app::remote

#endif  // APP_REMOTE_REMOTECONSOLE_H
