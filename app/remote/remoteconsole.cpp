// Handed over under a mutex of ours: Qt's queue only rings (ThreadSanitizer
// cannot see Qt's own locks, and a functor carried in an event shows as a
// race). Nothing here waits for the console's thread.
#include "app/remote/remoteconsole.h"

#include "app/console/checkmessages.h"
#include "app/console/operatorconsole.h"
#include "app/console/runadapter.h"
#include "app/fields/fieldconversion.h"
#include "app/remote/requestcheck.h"
#include "app/remote/requestmessagebox.h"
#include "port/pattern/delaycount.h"
#include "port/run/runcontrol.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>
#include <QTimer>

#include <cstdio>

namespace app::remote {

namespace {

const auto viewEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
constexpr std::chrono::milliseconds viewDelay{50};

std::optional<console::Check> checkOf(Refusal refusal)
{
    switch (refusal) {
    case Refusal::TwoPoleSpeed:
        return console::Check::TwoPoleSpeed;
    case Refusal::FourPoleSpeed:
        return console::Check::FourPoleSpeed;
    case Refusal::AboveRatedSpeed:
        return console::Check::AboveRatedSpeed;
    case Refusal::VoltageNotBelowRating:
        return console::Check::VoltageNotBelowRating;
    case Refusal::ZeroFrequency:
        return console::Check::ZeroFrequency;
    case Refusal::FrequencyOutOfRange:
        return console::Check::FrequencyOutOfRange;
    default:
        return std::nullopt;
    }
}

}  // namespace

RemoteConsole::RemoteConsole(console::OperatorConsole& console, RequestMessageBox& box, QObject* parent)
    : QObject(parent), console_(console), runs_(console.runs()), control_(runs_.control()), box_(box)
{
    // The operator takes the drive back: remote control stays off until the
    // operator turns it on again.
    connect(&console, &console::OperatorConsole::stopPressed, this, [this] {
        audit("remote: the operator's STOP");
        operatorStopped_ = true;
        setRemoteControl(false);
        operatorStopped_ = false;
    });
    // Once run control has the RUN: the run is there to name.
    connect(&console, &console::OperatorConsole::runPressed, this, &RemoteConsole::operatorRan);
    connect(&console, &console::OperatorConsole::textChanged, this, &RemoteConsole::takeFields);
    connect(&runs_, &console::RunAdapter::readoutChanged, this, &RemoteConsole::takeReadout);
    connect(&runs_, &console::RunAdapter::stateChanged, this, &RemoteConsole::tellChanged);
    takeFields();
}

RemoteConsole::~RemoteConsole() = default;

void RemoteConsole::setListener(Listener* listener)
{
    std::lock_guard lock(listenerMutex_);
    listener_ = listener;
}

void RemoteConsole::tellChanged()
{
    std::lock_guard lock(listenerMutex_);
    if (listener_)
        listener_->changed();
}

// Off, a client's start still waiting is called off at once, here, before
// the self-test's end or a run's idle pair could begin it; the run a client
// started is the operator's.
void RemoteConsole::setRemoteControl(bool on, Switched by)
{
    if (on == remoteOn_.load(std::memory_order_acquire))
        return;
    if (!on) {
        control_.callOffTickets();
        bool controlled = false;
        {
            std::lock_guard lock(shownMutex_);
            controlled = !view_.controller.empty();
        }
        const bool running = control_.state() == port::run::SequencerState::Running;
        emit noteShown(controlled && running && !operatorStopped_ ? tr("The run is the operator's now") : QString());
    }
    switchedByFile_.store(by == Switched::ByCommissioning, std::memory_order_release);
    remoteOn_.store(on, std::memory_order_release);
    switchChanges_.fetch_add(1, std::memory_order_acq_rel);
    emit remoteControlChanged(on);
    tellChanged();
}

void RemoteConsole::clearTrip()
{
    operatorResets_.fetch_add(1, std::memory_order_acq_rel);
    tellChanged();
}

void RemoteConsole::operatorRan()
{
    if (taking_)
        return;
    const port::run::RunIdentity run = control_.sequencer().identity();
    if (control_.startWaiting())
        audit("remote: the operator's RUN: it starts when the timing self-test has ended");
    else if (run.alive())
        audit("remote: the operator's RUN: run " + std::to_string(run.run));
}

void RemoteConsole::takeFields()
{
    std::lock_guard lock(shownMutex_);
    shown_.ratedVoltage = console_.reading(1);
    shown_.ratedSpeed = console_.reading(5);
    shown_.poles = console_.reading(6);
    shown_.speedReference = console_.reading(7);
    shown_.voltsPerHertz = console_.reading(8);
    shown_.requiredVoltage = console_.reading(10);
}

void RemoteConsole::takeReadout(const port::run::RunReadout& readout)
{
    std::lock_guard lock(shownMutex_);
    shown_.measuredFrequency = readout.measuredFrequency;
}

ConsoleReadings RemoteConsole::read()
{
    ConsoleReadings readings;
    {
        std::lock_guard lock(shownMutex_);
        readings = shown_;
    }
    const port::run::Sequencer& sequencer = control_.sequencer();
    readings.identity = sequencer.identity();
    readings.trips = sequencer.trips();
    readings.endCause = sequencer.endCause();
    readings.lastEnd = control_.lastEnd();
    readings.delayCount = sequencer.delayCount();
    readings.definedFrequency = port::pattern::frequencyFor(readings.delayCount);
    readings.cycles = sequencer.cyclesWritten();
    readings.realtime = sequencer.timing().grant.priorityClass == port::run::PriorityClass::Realtime;
    readings.remoteControlOn = remoteOn_.load(std::memory_order_acquire);
    readings.switchChanges = switchChanges_.load(std::memory_order_acquire);
    readings.switchedByFile = switchedByFile_.load(std::memory_order_acquire);
    readings.operatorResets = operatorResets_.load(std::memory_order_acquire);
    if (!readings.identity.alive())
        readings.measuredFrequency.reset();
    return readings;
}

void RemoteConsole::submit(RequestId id, WindowRequest request)
{
    {
        std::lock_guard lock(handedMutex_);
        handed_.push_back({id, std::move(request)});
    }
    QMetaObject::invokeMethod(this, "takeRequests", Qt::QueuedConnection);
}

bool RemoteConsole::withdraw(RequestId id)
{
    std::lock_guard lock(handedMutex_);
    return std::erase_if(handed_, [id](const Handed& handed) { return handed.id == id; }) > 0;
}

void RemoteConsole::takeRequests()
{
    for (;;) {
        Handed handed;
        {
            std::lock_guard lock(handedMutex_);
            if (handed_.empty())
                return;
            handed = std::move(handed_.front());
            handed_.pop_front();
        }
        const WindowOutcome outcome = take(handed.request);
        std::lock_guard lock(listenerMutex_);
        if (listener_)
            listener_->completed(handed.id, outcome);
    }
}

// Checked on what typing would leave before anything is typed; then typed,
// Required Voltage and RUN as the operator would, with the boxes kept. What
// the map decided may have changed since: the operator may have started a
// run, and the start or run a new count was for may be over.
WindowOutcome RemoteConsole::take(const WindowRequest& request)
{
    using Action = WindowRequest::Action;
    const auto refused = [this](Refusal refusal) {
        refuseOnStrip(refusal);
        return WindowOutcome{WindowOutcome::Kind::Refused, refusal};
    };
    if (!remoteOn_.load(std::memory_order_acquire))
        return refused(Refusal::RemoteControlOff);
    const port::run::RunIdentity alive = control_.sequencer().identity();
    const bool busy = alive.alive() || control_.startWaiting();
    if (request.ratingWritten && busy)
        return refused(Refusal::RunAlive);
    if (request.action == Action::Start && !request.ticket->waiting())
        return {WindowOutcome::Kind::Refused, Refusal::CalledOff};  // called off before the console got to it
    WindowRequest asked = request;
    if (asked.action == Action::NewCount && !asked.ticket->waiting()) {
        // Its start is over; a start waiting now is another's (the operator's RUN).
        const bool itsRun = asked.ticket->run() == alive.run && alive.alive();
        if ((!itsRun && busy) || control_.startWaiting())
            return refused(Refusal::NotInControl);
        // Its run is stopping, or over: nothing will take the count.
        if (!itsRun || alive.state != port::run::SequencerState::Running)
            asked.action = Action::Type;
    }
    if (asked.action == Action::Type && asked.whileIdle && busy)
        return refused(Refusal::NotInControl);
    FieldTexts texts;
    for (std::size_t number = 1; number < texts.size(); ++number)
        texts[number] = console_.text(static_cast<int>(number)).toStdString();
    const RequestPlan plan = planRequest(texts, asked);
    if (plan.refusal != Refusal::None)
        return refused(plan.refusal);

    box_.capture();
    for (const FieldValue& value : plan.order)
        console_.fill(static_cast<int>(value.field), QString::fromStdString(fields::displayText(value.value)));
    if (asked.action != Action::Type) {
        taking_ = true;
        console_.requiredVoltage();
        // RUN through the ticket: a start, or a new count for its start or run.
        runs_.armNextRun({asked.ticket, asked.action == Action::NewCount});
        console_.run();
        runs_.disarm();
        taking_ = false;
    }
    if (const std::optional<QString> message = box_.release())
        emit noteShown(tr("Remote request: %1").arg(message->trimmed()));
    else
        emit noteShown({});
    return {};
}

void RemoteConsole::refuseOnStrip(Refusal refusal)
{
    QString why;
    if (const std::optional<console::Check> check = checkOf(refusal))
        why = console::checkMessage(*check).prompt.trimmed();
    else if (refusal == Refusal::RemoteControlOff)
        why = tr("remote control is off");
    else if (refusal == Refusal::RunAlive)
        why = tr("the rating, the poles and V/f can be written only while no run is alive and no start waits");
    else if (refusal == Refusal::NotInControl)
        why = tr("a run is alive, or a start waits, that another controls");
    else
        why = tr("the delay count would not be above 0");
    emit noteShown(tr("Remote request refused: %1").arg(why));
}

bool RemoteConsole::stop(std::optional<std::uint64_t> onlyRun)
{
    return control_.stopHeld(onlyRun, port::run::StopSource::Remote).has_value();
}

bool RemoteConsole::callOff(port::run::StartTicket& ticket)
{
    return control_.callOff(ticket);
}

void RemoteConsole::communicationLost(std::chrono::nanoseconds silence, std::uint64_t run)
{
    control_.communicationLost(silence, run);
}

// The row is laid out again as its texts change, which holds the window's
// thread for a while. A PLC that stops and starts again at once would find
// it busy with that as its RUN arrives; so the row follows a little later,
// once for all the changes of that time, posted below the requests' priority.
void RemoteConsole::show(const RemoteView& view)
{
    {
        std::lock_guard lock(shownMutex_);
        view_ = view;
    }
    if (!viewPosted_.exchange(true, std::memory_order_acq_rel))
        QCoreApplication::postEvent(this, new QEvent(viewEvent), Qt::LowEventPriority);
}

bool RemoteConsole::event(QEvent* event)
{
    if (event->type() != viewEvent)
        return QObject::event(event);
    QTimer::singleShot(viewDelay, this, [this] {
        viewPosted_.store(false, std::memory_order_release);
        showViewNow();
    });
    return true;
}

namespace {

QString endText(EndCode code)
{
    switch (code) {
    case EndCode::PortFailed:
        return RemoteConsole::tr("the port failed");
    case EndCode::CpuLimit:
        return RemoteConsole::tr("the real-time CPU limit");
    case EndCode::WindowSilent:
        return RemoteConsole::tr("the window did not answer");
    case EndCode::Signal:
        return RemoteConsole::tr("a termination signal");
    case EndCode::CommunicationLost:
        return RemoteConsole::tr("communication lost");
    case EndCode::StartRefused:
        return RemoteConsole::tr("a remote start refused by a check");
    default:
        return RemoteConsole::tr("a run ended at once");
    }
}

}  // namespace

void RemoteConsole::showViewNow()
{
    RemoteView view;
    {
        std::lock_guard lock(shownMutex_);
        view = view_;
    }
    emit controllerShown(QString::fromStdString(view.controller));
    const QString by = QString::fromStdString(view.stoppedBy);
    QString stop;
    if (view.trip)
        stop = tr("Trip: %1").arg(endText(*view.trip));
    else if (view.lastEnd == EndCode::ControllerStop || view.lastEnd == EndCode::OtherStop)
        stop = tr("Stopped by %1's STOP").arg(by);
    else if (view.lastEnd == EndCode::OperatorStop)
        stop = tr("Stopped by the operator's STOP");
    else if (view.lastEnd == EndCode::SwitchedOff)
        stop = tr("Start called off: remote control turned off");
    else if (view.lastEnd == EndCode::ClientClosed)
        stop = tr("Start called off: its client closed");
    emit stopShown(stop, view.trip.has_value());
}

// Where a desktop session keeps stderr (its journal), the log keeps these.
void RemoteConsole::audit(const std::string& line)
{
    std::fprintf(stderr, "frequency-converter: %s\n", line.c_str());
}

}  // namespace app::remote
