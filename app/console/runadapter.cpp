// The step thread's callbacks only post to the window's thread: the window's
// thread may be joining the step thread while they run.
#include "app/console/runadapter.h"

#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "app/text/timingtext.h"

namespace app::console {

namespace {

// The readout is refreshed this often while a run is alive.
constexpr std::chrono::milliseconds readoutInterval{100};

} // namespace

RunAdapter::RunAdapter(port::backend::Module1& module, const port::record::WriteRecord& record,
                       port::run::StepThreadSetup setup, QObject* parent, std::chrono::nanoseconds silenceLimit)
    : QObject(parent)
    , readoutTimer_(new QTimer(this))
{
    // The step thread never calls into Qt: posting a Qt event would
    // allocate and take Qt's event queue lock, which the window's thread
    // holds at will, and a state change comes under the sequencer's lock. A
    // counter in the kernel rings the window's event loop instead; what the
    // ring is about (the state, the timing, an error) is read there.
    bell_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (bell_ < 0)
        std::fprintf(stderr, "frequency-converter: ERROR: no eventfd for the run's news (%s); the strip "
                             "will follow the run through its readout timer only\n", std::strerror(errno));
    else
        connect(new QSocketNotifier(bell_, QSocketNotifier::Read, this), &QSocketNotifier::activated, this,
                &RunAdapter::answerBell);
    port::run::SequencerCallbacks callbacks;
    const auto ring = [bell = bell_] {
        if (bell >= 0)
            eventfd_write(bell, 1);
    };
    callbacks.stateChanged = [ring](port::run::SequencerState) { ring(); };
    callbacks.error = [this, ring](const std::string& line) {
        // Made here, spliced in under the lock: nothing is allocated under it.
        std::list<std::string> news{line};
        {
            std::lock_guard lock(errorsMutex_);
            errors_.splice(errors_.end(), news);
        }
        ring();
    };
    callbacks.timingKnown = [this, ring](const port::run::TimingMode&) {
        timingNews_.store(true, std::memory_order_release);
        ring();
    };
    control_ = std::make_unique<port::run::RunControl>(module, record, std::move(callbacks), std::move(setup),
                                                  port::run::systemStepClock(), silenceLimit);
    readoutTimer_->setInterval(readoutInterval);
    connect(readoutTimer_, &QTimer::timeout, this, &RunAdapter::refresh);
}

RunAdapter::~RunAdapter()
{
    control_->shutDown();
    control_.reset();  // no callback rings the bell after this
    if (bell_ >= 0)
        close(bell_);
}

port::run::RunAnswer RunAdapter::run(std::int64_t delayCount)
{
    const port::run::RunAnswer answer = control_->run(delayCount, std::exchange(armed_, std::nullopt).value_or(
                                                                      port::run::RunCondition{}));
    announceState(control_->state());
    return answer;
}

void RunAdapter::holdStepCpu()
{
    control_->holdStepCpu();
}

void RunAdapter::releaseStepCpu()
{
    control_->releaseStepCpu();
    announceState(control_->state());
}

port::run::StopOutcome RunAdapter::stop()
{
    armed_.reset();
    const port::run::StopOutcome outcome = control_->stop();
    announceState(control_->state());
    return outcome;
}

void RunAdapter::shutDown()
{
    armed_.reset();
    control_->shutDown();
    announceState(control_->state());
}

port::run::SequencerState RunAdapter::state() const
{
    return control_->state();
}

bool RunAdapter::polling() const
{
    return readoutTimer_->isActive();
}

port::run::RunReadout RunAdapter::readout()
{
    return control_->readout();
}

QString RunAdapter::timingText() const
{
    return text::timingText(control_->timing());
}

// Announcements come queued, some after the state has moved on: what is
// shown is always the state as it is now.
void RunAdapter::announceState(port::run::SequencerState)
{
    const port::run::SequencerState state = control_->state();
    const bool alive = state != port::run::SequencerState::Idle;
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

void RunAdapter::answerBell()
{
    eventfd_t rung = 0;
    eventfd_read(bell_, &rung);
    takeNews();
    announceState(control_->state());
}

void RunAdapter::takeNews()
{
    std::list<std::string> errors;
    {
        std::lock_guard lock(errorsMutex_);
        errors.swap(errors_);
    }
    for (const std::string& line : errors)
        emit errorOccurred(QString::fromStdString(line));
    if (timingNews_.exchange(false, std::memory_order_acq_rel))
        emit timingChanged(timingText());
}

void RunAdapter::refresh()
{
    if (bell_ < 0)
        takeNews();
    if (control_->state() != shown_) {
        announceState(control_->state());  // a change whose bell has not rung yet
        return;
    }
    emit readoutChanged(control_->readout());
    emit timingChanged(timingText());
}

}  // namespace app::console
