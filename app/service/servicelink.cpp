// The status line is the strip's own words (runStateText), so that
// "systemctl status" and the window never disagree.
#include "app/service/servicelink.h"

#include "app/remote/modbusserver.h"
#include "app/remote/remoteconsole.h"
#include "app/service/servicewatchdog.h"
#include "app/console/runadapter.h"
#include "app/text/runstatetext.h"
#include "app/text/timingtext.h"

#include <QTimer>

#include <cstdio>
#include <vector>

namespace app::service {

ServiceLink::ServiceLink(console::RunAdapter& runs, const port::record::WriteRecord& record,
                         remote::RemoteConsole& console, const remote::ModbusServer& server, QObject* parent)
    : QObject(parent), runs_(runs), record_(record), console_(console), server_(server), beat_(new QTimer(this))
{
    connect(&runs, &console::RunAdapter::readoutChanged, this, &ServiceLink::takeReadout);
    // With no strip to show it, the journal says how the steps are held: the
    // priority the step thread was granted, once and on every change.
    connect(&runs, &console::RunAdapter::timingChanged, this, [this] {
        port::run::TimingMode mode = runs_.control().timing();
        mode.sleeping.reset();
        const QString line = text::timingText(mode);
        if (mode.known && line != timingSaid_) {
            timingSaid_ = line;
            std::fprintf(stderr, "frequency-converter: %s\n", qPrintable(line));
        }
    });
    beat_->setInterval(beatInterval);
    connect(beat_, &QTimer::timeout, this, [this] {
        beats_.store(beats_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        showStatus(false);
    });
}

ServiceLink::~ServiceLink() = default;

void ServiceLink::start()
{
    runs_.stop();  // idle: the idle pair, written on this thread
    shown_ = statusLine();
    shownAt_ = std::chrono::steady_clock::now();
    notifier_.ready(shown_.toStdString());
    beat_->start();
    const std::optional<std::chrono::microseconds> interval = ServiceNotifier::watchdogInterval();
    if (!interval)
        return;
    std::vector<Evidence> evidence{
        stepProgress(runs_.control().sequencer(), record_),
        loopTurns("the Modbus server's loop", [this] { return server_.turns(); },
                  remote::ModbusServer::longestWait),
        loopTurns("the event loop", [this] { return beats_.load(std::memory_order_relaxed); }, beatInterval),
    };
    watchdog_ = std::make_unique<ServiceWatchdog>(notifier_, *interval, std::move(evidence));
    std::fprintf(stderr, "frequency-converter: systemd's watchdog is fed every %lld ms while the run path is "
                         "alive\n", static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                               *interval / 4).count()));
}

void ServiceLink::takeReadout(const port::run::RunReadout& readout)
{
    const bool stateChanged = readout.state != readout_.state;
    readout_ = readout;
    showStatus(stateChanged);
}

QString ServiceLink::statusLine() const
{
    QString line = text::runStateText(readout_);
    if (const QString cause = text::runEndCauseText(readout_); !cause.isEmpty())
        line += QStringLiteral("; ") + cause;
    const QString where = QString::fromStdString(server_.endpoint().text());
    line += console_.read().remoteControlOn ? tr("; Modbus TCP on %1, remote control on").arg(where)
                                            : tr("; Modbus TCP on %1, remote control off").arg(where);
    return line;
}

void ServiceLink::showStatus(bool now)
{
    const auto time = std::chrono::steady_clock::now();
    if (!now && time - shownAt_ < statusInterval)
        return;
    const QString line = statusLine();
    if (line == shown_)
        return;
    shown_ = line;
    shownAt_ = time;
    notifier_.status(line.toStdString());
}

}  // namespace app::service
