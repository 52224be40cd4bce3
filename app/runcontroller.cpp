// The step thread's callbacks only post to the window's thread: the window's
// thread may be joining the step thread while they run.
#include "app/runcontroller.h"

#include <QMetaObject>
#include <QTimer>

namespace app {

namespace {

// The readout is refreshed this often while a run is alive.
constexpr std::chrono::milliseconds readoutInterval{100};

} // namespace

RunController::RunController(port::Module1& module, const port::WriteRecord& record,
                             port::StepThreadSetup setup, QObject* parent, std::chrono::nanoseconds silenceLimit)
    : QObject(parent)
    , readoutTimer_(new QTimer(this))
{
    port::SequencerCallbacks callbacks;
    callbacks.stateChanged = [this](port::SequencerState state) {
        QMetaObject::invokeMethod(this, [this, state] { announceState(state); }, Qt::QueuedConnection);
    };
    callbacks.error = [this](const std::string& line) {
        const QString text = QString::fromStdString(line);
        QMetaObject::invokeMethod(this, [this, text] { emit errorOccurred(text); }, Qt::QueuedConnection);
    };
    callbacks.timingKnown = [this](const port::TimingMode&) {
        QMetaObject::invokeMethod(this, [this] { emit timingChanged(timingText()); }, Qt::QueuedConnection);
    };
    control_ = std::make_unique<port::RunControl>(module, record, std::move(callbacks), std::move(setup),
                                                  port::systemStepClock(), silenceLimit);
    readoutTimer_->setInterval(readoutInterval);
    connect(readoutTimer_, &QTimer::timeout, this, &RunController::refresh);
}

RunController::~RunController()
{
    control_->shutDown();
}

void RunController::run(std::int64_t delayCount)
{
    control_->run(delayCount);
    announceState(control_->state());
}

port::StopOutcome RunController::stop()
{
    const port::StopOutcome outcome = control_->stop();
    announceState(control_->state());
    return outcome;
}

void RunController::shutDown()
{
    control_->shutDown();
    announceState(control_->state());
}

port::SequencerState RunController::state() const
{
    return control_->state();
}

bool RunController::polling() const
{
    return readoutTimer_->isActive();
}

port::RunReadout RunController::readout()
{
    return control_->readout();
}

QString RunController::timingText() const
{
    return QString::fromStdString(port::timingText(control_->timing()));
}

// Announcements come queued, some after the state has moved on: what is
// shown is always the state as it is now.
void RunController::announceState(port::SequencerState)
{
    const port::SequencerState state = control_->state();
    const bool alive = state != port::SequencerState::Idle;
    if (alive && !readoutTimer_->isActive())
        readoutTimer_->start();
    if (!alive)
        readoutTimer_->stop();
    if (state != shown_) {
        shown_ = state;
        emit stateChanged(state);
    }
    refresh();  // the last figures of a run that ended stay shown
}

void RunController::refresh()
{
    emit readoutChanged(control_->readout());
    emit timingChanged(timingText());
}

} // namespace app
