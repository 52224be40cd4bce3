// The bridge's waits are bounded and one-sided: the server's thread waits
// for the window, never the other way round.
#include "app/remote/remotebridge.h"

#include "app/fields/fieldconversion.h"
#include "app/window/form1.h"
#include "app/window/runadapter.h"
#include "port/pattern/delaycount.h"
#include "port/run/runcontrol.h"

#include <QLineEdit>
#include <QMetaObject>

#include <condition_variable>
#include <memory>
#include <vector>

namespace app::remote {

// One request carried to the window: begun there, or given up by the
// server's thread, whichever comes first.
struct RemoteBridge::Pending {
    enum class Stage { Waiting, Begun, Done, GivenUp };
    std::mutex mutex;
    std::condition_variable changed;
    Stage stage = Stage::Waiting;  // guarded by mutex
    Refusal outcome = Refusal::None;
};

namespace {

// How long a request begun on the window may take: its handlers compute and
// set texts, which takes microseconds; this only keeps a hung window from
// holding the server's thread for ever.
constexpr std::chrono::seconds longestAction{2};

}  // namespace

RemoteBridge::RemoteBridge(window::Form1& form, window::RunAdapter& runs, QObject* parent)
    : QObject(parent), form_(form), control_(runs.control())
{
    remoteOn_.store(form.remoteControlOn(), std::memory_order_release);
    connect(&form, &window::Form1::remoteControlChanged, this,
            [this](bool on) { remoteOn_.store(on, std::memory_order_release); });
    for (const char* name : {"Text1", "Text6", "Text7", "Text8", "Text10"})
        connect(form.findChild<QLineEdit*>(QLatin1String(name)), &QLineEdit::textChanged, this,
                &RemoteBridge::takeFields);
    connect(&runs, &window::RunAdapter::readoutChanged, this, &RemoteBridge::takeReadout);
    // Announced only on a real change: Idle comes once at the end of each run.
    connect(&runs, &window::RunAdapter::stateChanged, this, [this](port::run::SequencerState state) {
        if (state == port::run::SequencerState::Idle)
            runsEnded_.fetch_add(1, std::memory_order_acq_rel);
    });
    takeFields();
}

void RemoteBridge::takeFields()
{
    const auto reading = [this](const char* name) {
        return fields::numericReading(form_.findChild<QLineEdit*>(QLatin1String(name))->text().toStdString());
    };
    std::lock_guard lock(shownMutex_);
    shown_.ratedVoltage = reading("Text1");
    shown_.poles = reading("Text6");
    shown_.demandedSpeed = reading("Text7");
    shown_.voltsPerHertz = reading("Text8");
    shown_.requiredVoltage = reading("Text10");
}

void RemoteBridge::takeReadout(const port::run::RunReadout& readout)
{
    std::lock_guard lock(shownMutex_);
    shown_.measuredFrequency =
        readout.state == port::run::SequencerState::Idle ? std::nullopt : readout.measuredFrequency;
}

ConsoleReadings RemoteBridge::read()
{
    ConsoleReadings readings;
    {
        std::lock_guard lock(shownMutex_);
        readings = shown_;
    }
    const port::run::Sequencer& sequencer = control_.sequencer();
    readings.state = sequencer.state();
    readings.delayCount = sequencer.delayCount();
    readings.definedFrequency = port::pattern::frequencyFor(readings.delayCount);
    readings.cycles = sequencer.cyclesWritten();
    readings.endCause = sequencer.endCause();
    readings.remoteControlOn = remoteOn_.load(std::memory_order_acquire);
    readings.runsEnded = runsEnded_.load(std::memory_order_acquire);
    if (readings.state == port::run::SequencerState::Idle)
        readings.measuredFrequency.reset();
    return readings;
}

Refusal RemoteBridge::setFields(std::span<const FieldValue> values)
{
    return onWindow([this, copied = std::vector<FieldValue>(values.begin(), values.end())] {
        return form_.setFieldsRemotely(copied);
    });
}

// STOP ends the run from here, whatever the window's thread is doing; the
// window drops a run waiting for the self-test when it gets to it.
Refusal RemoteBridge::press(Command command)
{
    if (command != Command::Stop)
        return onWindow([this, command] { return form_.pressRemotely(command); });
    if (!remoteOn_.load(std::memory_order_acquire))
        return Refusal::RemoteControlOff;
    control_.stopFromElsewhere();
    QMetaObject::invokeMethod(this, "catchUpWithStop", Qt::QueuedConnection);
    return Refusal::None;
}

void RemoteBridge::catchUpWithStop()
{
    form_.pressRemotely(Command::Stop);
}

void RemoteBridge::communicationLost(std::chrono::nanoseconds silence)
{
    control_.communicationLost(silence);
}

// The request goes over in requestMutex_'s slot, and Qt's queue only says
// that one is there: what the window's thread reads was handed over under a
// mutex of ours, never inside an event (Qt's own locks are invisible to
// ThreadSanitizer, and a functor carried in an event would show as a race).
Refusal RemoteBridge::onWindow(std::function<Refusal()> action)
{
    auto pending = std::make_shared<Pending>();
    {
        std::lock_guard lock(requestMutex_);
        request_ = Request{std::move(action), pending};
    }
    QMetaObject::invokeMethod(this, "takeRequest", Qt::QueuedConnection);
    std::unique_lock lock(pending->mutex);
    if (!pending->changed.wait_for(lock, windowWait, [&] { return pending->stage != Pending::Stage::Waiting; })) {
        pending->stage = Pending::Stage::GivenUp;
        lock.unlock();
        std::lock_guard requestLock(requestMutex_);
        if (request_ && request_->pending == pending)
            request_.reset();
        return Refusal::WindowBusy;
    }
    if (!pending->changed.wait_for(lock, longestAction, [&] { return pending->stage == Pending::Stage::Done; }))
        return Refusal::WindowBusy;
    return pending->outcome;
}

void RemoteBridge::takeRequest()
{
    std::optional<Request> request;
    {
        std::lock_guard lock(requestMutex_);
        request.swap(request_);
    }
    if (!request)
        return;  // given up before the window got to it, or taken already
    const std::shared_ptr<Pending>& pending = request->pending;
    {
        std::lock_guard lock(pending->mutex);
        if (pending->stage == Pending::Stage::GivenUp)
            return;
        pending->stage = Pending::Stage::Begun;
    }
    const Refusal outcome = request->action();
    {
        std::lock_guard lock(pending->mutex);
        pending->outcome = outcome;
        pending->stage = Pending::Stage::Done;
    }
    pending->changed.notify_all();
}

}  // namespace app::remote
