// The console for the register map, over the operator's console, which
// knows nothing of it: requests are done with the operator's own means
// (typing into the fields, Required Voltage and RUN) on the console's thread,
// after the console's own checks have passed on what they would leave, so a
// request the operator's console would refuse changes nothing. Reads never
// wait for that thread (the fields are kept here as they change, the run's
// figures come from run control's atomics), and neither do a STOP, a start
// called off or the communication-loss stop: they go to run control from the
// server's thread, which keeps the one start that may wait. Remote control is
// turned on and off by a call: the operator's switch, a row below the
// window's strip where there is a window, or whatever stands in for the
// operator. Who is in control, a latched trip (which the operator may clear)
// and who stopped the last run are said in signals for that row; the
// operator's STOP turns remote control off. The operator's RUN, STOP and
// switch are logged beside the remote lines. QtCore only.
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

namespace app::console {
class OperatorConsole;
class RunAdapter;
}

namespace app::remote {

class RequestMessageBox;

class RemoteConsole : public QObject, public Console
{
    Q_OBJECT

public:
    // Made on the console's thread; console and box (the one console tells
    // its messages through) must outlive it. Remote control starts off.
    RemoteConsole(console::OperatorConsole& console, RequestMessageBox& box, QObject* parent = nullptr);
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

    bool remoteControl() const { return remoteOn_.load(std::memory_order_acquire); }
    // Who turns remote control on or off, for the log.
    enum class Switched { ByOperator, ByCommissioning };
    // Off, a client's start still waiting is called off at once.
    void setRemoteControl(bool on, Switched by = Switched::ByOperator);
    // The operator clears a latched trip, as a client's fault reset does.
    void clearTrip();

signals:
    void remoteControlChanged(bool on);
    // The client in control, empty for none.
    void controllerShown(const QString& who);
    // A latched trip (tripLatched), or who stopped the last run.
    void stopShown(const QString& text, bool tripLatched);
    // What a remote request last met, or that the run is the operator's now.
    void noteShown(const QString& note);

protected:
    bool event(QEvent* event) override;

private slots:
    void takeRequests();  // on the console's thread: the requests handed over, in order

private:
    struct Handed {
        RequestId id;
        WindowRequest request;
    };

    WindowOutcome take(const WindowRequest& request);
    void refuseOnStrip(Refusal refusal);
    void operatorRan();
    void showViewNow();
    void takeFields();
    void takeReadout(const port::run::RunReadout& readout);
    void tellChanged();

    console::OperatorConsole& console_;
    console::RunAdapter& runs_;
    port::run::RunControl& control_;
    RequestMessageBox& box_;
    std::atomic<bool> remoteOn_{false};
    std::atomic<std::uint64_t> switchChanges_{0};
    std::atomic<bool> switchedByFile_{false};
    std::atomic<std::uint64_t> operatorResets_{0};
    std::atomic<bool> viewPosted_{false};  // a view is posted, not shown yet
    bool taking_ = false;          // a remote request runs Required Voltage and RUN
    bool operatorStopped_ = false;  // remote control goes off by the operator's STOP

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
