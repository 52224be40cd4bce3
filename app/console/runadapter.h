// The Qt adapter of port::run::RunControl: RUN, STOP and the way out for the
// console, the step thread's callbacks turned into signals on the console's
// thread (the window's, where there is one), and the readout, polled only
// while a run is alive. QtCore only.
#ifndef APP_CONSOLE_RUNADAPTER_H
#define APP_CONSOLE_RUNADAPTER_H

#include <QObject>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>

#include "port/run/pimutex.h"
#include "port/run/runcontrol.h"

class QTimer;

namespace app::console {

class RunAdapter : public QObject
{
    Q_OBJECT

public:
    // A run ends at once when the window has not answered for silenceLimit
    // (the readout timer is its heartbeat).
    RunAdapter(port::backend::Module1& module, const port::record::WriteRecord& record, port::run::StepThreadSetup setup,
               QObject* parent = nullptr,
               std::chrono::nanoseconds silenceLimit = port::run::RunControl::windowSilenceLimit);
    ~RunAdapter() override;

    port::run::RunAnswer run(std::int64_t delayCount);
    port::run::StopOutcome stop();
    void shutDown();
    // The next run() goes only as condition allows (a remote client's start,
    // or a new count for its start or run): armed by whoever presses RUN for
    // a client, taken by that press, and dropped by disarm() when the press
    // did not come. Run control keeps a start that waits, never this.
    void armNextRun(port::run::RunCondition condition) { armed_ = std::move(condition); }
    void disarm() { armed_.reset(); }
    // The timing self-test's step thread holds the step CPU, and has ended
    // (RunControl::holdStepCpu, releaseStepCpu).
    void holdStepCpu();
    void releaseStepCpu();

    port::run::SequencerState state() const;
    bool isAlive() const { return state() != port::run::SequencerState::Idle; }
    bool polling() const;
    // The readout as it is now; also sent with readoutChanged.
    port::run::RunReadout readout();
    QString timingText() const;
    // For the signal thread, which ends the run itself when the window does
    // not answer.
    port::run::RunControl& control() { return *control_; }

signals:
    void stateChanged(port::run::SequencerState state);
    void errorOccurred(const QString& line);
    void timingChanged(const QString& text);
    void readoutChanged(const port::run::RunReadout& readout);

private:
    void announceState(port::run::SequencerState state);
    void answerBell();
    void takeNews();  // the errors and the timing the step thread left
    void refresh();

    QTimer* readoutTimer_;
    int bell_ = -1;  // eventfd the step thread rings: a state change, the timing, an error
    port::run::PiMutex errorsMutex_;  // the step thread takes it too
    std::list<std::string> errors_;  // guarded by errorsMutex_
    std::atomic<bool> timingNews_{false};
    port::run::SequencerState shown_ = port::run::SequencerState::Idle;  // the state last announced
    std::optional<port::run::RunCondition> armed_;
    // Last: its step thread ends before anything its callbacks reach.
    std::unique_ptr<port::run::RunControl> control_;
};

}  // namespace app::console

#endif
