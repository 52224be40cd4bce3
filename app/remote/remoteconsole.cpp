// Handed over under a mutex of ours: Qt's queue only rings (ThreadSanitizer
// cannot see Qt's own locks, and a functor carried in an event shows as a
// race). Nothing here waits for the window's thread.
#include "app/remote/remoteconsole.h"

#include "app/fields/fieldconversion.h"
#include "app/remote/remoteswitch.h"
#include "app/remote/requestcheck.h"
#include "app/remote/requestmessagebox.h"
#include "app/window/checkmessages.h"
#include "app/window/fillfield.h"
#include "app/window/form1.h"
#include "app/window/runadapter.h"
#include "port/pattern/delaycount.h"
#include "port/run/runcontrol.h"

#include <QLineEdit>
#include <QMetaObject>
#include <QPushButton>

#include <cstdio>

namespace app::remote {

namespace {

constexpr int textFields[] = {1, 5, 6, 7, 8, 10};

std::optional<window::Check> checkOf(Refusal refusal)
{
    switch (refusal) {
    case Refusal::TwoPoleSpeed:
        return window::Check::TwoPoleSpeed;
    case Refusal::FourPoleSpeed:
        return window::Check::FourPoleSpeed;
    case Refusal::AboveRatedSpeed:
        return window::Check::AboveRatedSpeed;
    case Refusal::VoltageNotBelowRating:
        return window::Check::VoltageNotBelowRating;
    case Refusal::ZeroFrequency:
        return window::Check::ZeroFrequency;
    case Refusal::FrequencyOutOfRange:
        return window::Check::FrequencyOutOfRange;
    default:
        return std::nullopt;
    }
}

}  // namespace

RemoteConsole::RemoteConsole(window::Form1& form, window::RunAdapter& runs, RequestMessageBox& box,
                             QObject* parent)
    : QObject(parent), form_(form), runs_(runs), control_(runs.control()), box_(box), switch_(new RemoteSwitch)
{
    form.addStripRow(switch_, RemoteSwitch::rowHeight);
    connect(switch_, &RemoteSwitch::toggled, this, &RemoteConsole::switched);
    // The operator takes the drive back: remote control stays off until the
    // operator turns it on again.
    connect(&form, &window::Form1::stopPressed, this, [this] { switch_->setOn(false); });
    for (const int number : textFields)
        connect(form.findChild<QLineEdit*>(QStringLiteral("Text%1").arg(number)), &QLineEdit::textChanged, this,
                &RemoteConsole::takeFields);
    connect(&runs, &window::RunAdapter::readoutChanged, this, &RemoteConsole::takeReadout);
    connect(&runs, &window::RunAdapter::stateChanged, this, &RemoteConsole::tellChanged);
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

// Off, a client's start still waiting is called off at once, and the run a
// client started is the operator's.
void RemoteConsole::switched(bool on)
{
    if (!on) {
        if (const std::shared_ptr<port::run::StartTicket> ticket = runs_.armedTicket())
            control_.callOff(*ticket);
        runs_.disarm();
        bool controlled = false;
        {
            std::lock_guard lock(shownMutex_);
            controlled = !controller_.empty();
        }
        switch_->showNote(controlled && runs_.isAlive() ? tr("The run is the operator's now") : QString());
    }
    remoteOn_.store(on, std::memory_order_release);
    tellChanged();
}

void RemoteConsole::takeFields()
{
    const auto reading = [this](int number) {
        const auto* field = form_.findChild<QLineEdit*>(QStringLiteral("Text%1").arg(number));
        return fields::numericReading(field->text().toStdString());
    };
    std::lock_guard lock(shownMutex_);
    shown_.ratedVoltage = reading(1);
    shown_.ratedSpeed = reading(5);
    shown_.poles = reading(6);
    shown_.speedReference = reading(7);
    shown_.voltsPerHertz = reading(8);
    shown_.requiredVoltage = reading(10);
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
    readings.state = sequencer.state();
    readings.run = sequencer.runNumber();
    readings.trips = sequencer.trips();
    readings.endCause = sequencer.endCause();
    readings.delayCount = sequencer.delayCount();
    readings.definedFrequency = port::pattern::frequencyFor(readings.delayCount);
    readings.cycles = sequencer.cyclesWritten();
    readings.realtime = sequencer.timing().grant.priorityClass == port::run::PriorityClass::Realtime;
    readings.remoteControlOn = remoteOn_.load(std::memory_order_acquire);
    if (readings.state == port::run::SequencerState::Idle)
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
// pressed and run as the operator would, with the window's boxes kept.
WindowOutcome RemoteConsole::take(const WindowRequest& request)
{
    const auto refused = [this](Refusal refusal) {
        refuseOnStrip(refusal);
        return WindowOutcome{WindowOutcome::Kind::Refused, refusal};
    };
    if (!remoteOn_.load(std::memory_order_acquire))
        return refused(Refusal::RemoteControlOff);
    if (request.ratingWritten && runs_.isAlive())
        return refused(Refusal::RunAlive);
    FieldTexts texts;
    for (std::size_t number = 1; number < texts.size(); ++number)
        texts[number] = form_.findChild<QLineEdit*>(QStringLiteral("Text%1").arg(number))->text().toStdString();
    if (request.ticket && request.ticket->state() == port::run::StartTicket::State::CalledOff)
        return {WindowOutcome::Kind::Refused, Refusal::WindowBusy};  // called off before the window got to it
    WindowRequest asked = request;
    // The run the new count was for has ended meanwhile: RUN now would start one.
    const port::run::Sequencer& sequencer = control_.sequencer();
    if (asked.action == WindowRequest::Action::Retune &&
        (sequencer.state() != port::run::SequencerState::Running || sequencer.runNumber() != asked.run))
        asked.action = WindowRequest::Action::Type;
    const RequestPlan plan = planRequest(texts, asked);
    if (plan.refusal != Refusal::None)
        return refused(plan.refusal);

    box_.capture();
    for (const FieldValue& value : plan.order) {
        auto* field = form_.findChild<QLineEdit*>(QStringLiteral("Text%1").arg(static_cast<int>(value.field)));
        window::fillField(*field, QString::fromStdString(fields::displayText(value.value)));
    }
    if (asked.action != WindowRequest::Action::Type) {
        form_.findChild<QPushButton*>(QStringLiteral("Command2"))->click();
        if (asked.action == WindowRequest::Action::Start)
            runs_.armNextRun({asked.ticket.get(), std::nullopt}, asked.ticket);
        else
            runs_.armNextRun({nullptr, asked.run});
        // A start waits armed while the self-test ends; a new count never waits.
        form_.findChild<QPushButton*>(QStringLiteral("Command1"))->click();
        if (asked.action == WindowRequest::Action::Retune)
            runs_.disarm();
    }
    if (const std::optional<QString> message = box_.release())
        switch_->showNote(tr("Remote request: %1").arg(message->trimmed()));
    else
        switch_->showNote({});
    return {};
}

void RemoteConsole::refuseOnStrip(Refusal refusal)
{
    QString why;
    if (const std::optional<window::Check> check = checkOf(refusal))
        why = window::checkMessage(*check).prompt.trimmed();
    else if (refusal == Refusal::RemoteControlOff)
        why = tr("remote control is off");
    else if (refusal == Refusal::RunAlive)
        why = tr("the rating, the poles and V/f can be written only while no run is alive");
    else
        why = tr("the delay count would not be above 0");
    switch_->showNote(tr("Remote request refused: %1").arg(why));
}

bool RemoteConsole::stop(std::optional<std::uint64_t> onlyRun)
{
    const bool stopped = control_.stopHeld(onlyRun).has_value();
    // Any run: one waiting for the self-test too. The window drops it when
    // it gets to it, before the self-test's end can start it.
    if (!onlyRun)
        QMetaObject::invokeMethod(this, "catchUpWithStop", Qt::QueuedConnection);
    return stopped;
}

void RemoteConsole::catchUpWithStop()
{
    form_.dropWaitingRun();
    runs_.disarm();
}

bool RemoteConsole::callOff(port::run::StartTicket& ticket)
{
    return control_.callOff(ticket);
}

void RemoteConsole::communicationLost(std::chrono::nanoseconds silence, std::uint64_t run)
{
    control_.communicationLost(silence, run);
}

void RemoteConsole::showController(const std::string& who)
{
    {
        std::lock_guard lock(shownMutex_);
        controller_ = who;
    }
    QMetaObject::invokeMethod(this, "showControllerNow", Qt::QueuedConnection);
}

void RemoteConsole::showControllerNow()
{
    std::string who;
    {
        std::lock_guard lock(shownMutex_);
        who = controller_;
    }
    switch_->showController(QString::fromStdString(who));
}

// Where a desktop session keeps stderr (its journal), the log keeps these.
void RemoteConsole::audit(const std::string& line)
{
    std::fprintf(stderr, "frequency-converter: %s\n", line.c_str());
}

}  // namespace app::remote
