// The running program's side of systemd's contract: the idle pair, then
// READY=1 once the port is idle and the Modbus server listens; STATUS= with
// the state line the strip shows, as it changes; and the watchdog fed from
// the step thread's progress during a run, the server's loop and the event
// loop that takes remote requests, never from a timer alone.
#ifndef APP_SERVICE_SERVICELINK_H
#define APP_SERVICE_SERVICELINK_H

#include "app/service/servicenotifier.h"
#include "port/run/runcontrol.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

class QTimer;

namespace app::remote {
class ModbusServer;
class RemoteConsole;
}
namespace app::console {
class RunAdapter;
}

namespace app::service {

class ServiceWatchdog;

class ServiceLink : public QObject
{
    Q_OBJECT

public:
    // The event loop's beat, the evidence that remote requests are taken.
    static constexpr std::chrono::milliseconds beatInterval{500};
    // STATUS= at most this often while only the figures change.
    static constexpr std::chrono::seconds statusInterval{1};

    // Everything given must outlive the link; made on the event loop's thread.
    ServiceLink(console::RunAdapter& runs, const port::record::WriteRecord& record, remote::RemoteConsole& console,
                const remote::ModbusServer& server, QObject* parent = nullptr);
    ~ServiceLink() override;

    // Leaves the port idle (no run is alive yet), then says READY=1 with the
    // status line and starts the watchdog where systemd asks for one.
    void start();

private:
    void takeReadout(const port::run::RunReadout& readout);
    QString statusLine() const;
    void showStatus(bool now);

    console::RunAdapter& runs_;
    const port::record::WriteRecord& record_;
    remote::RemoteConsole& console_;
    const remote::ModbusServer& server_;
    ServiceNotifier notifier_;
    port::run::RunReadout readout_;
    QString shown_;
    QString timingSaid_;  // the step thread's priority, as last said on stderr
    std::chrono::steady_clock::time_point shownAt_{};
    QTimer* beat_;
    std::atomic<std::uint64_t> beats_{0};
    std::unique_ptr<ServiceWatchdog> watchdog_;
};

}  // namespace app::service

#endif  // APP_SERVICE_SERVICELINK_H
