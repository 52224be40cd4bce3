// The switch's row: the box, the trip or the last stop, the note.
#include "app/remote/remoteswitch.h"

#include "app/remote/remoteconsole.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace app::remote {

RemoteSwitch::RemoteSwitch(RemoteConsole& console, QWidget* parent)
    : QWidget(parent)
    , box_(new QCheckBox(this))
    , stop_(new QLabel(this))
    , clearTrip_(new QPushButton(tr("&Clear trip"), this))
    , note_(new QLabel(this))
{
    setObjectName(QStringLiteral("RemoteSwitch"));
    box_->setObjectName(QStringLiteral("RemoteControl"));
    box_->setToolTip(tr("Lets a Modbus client set the operating point and run the motor as the operator "
                        "would. STOP on the window ends the run and turns it off."));
    connect(box_, &QCheckBox::toggled, this, &RemoteSwitch::showState);
    connect(box_, &QCheckBox::toggled, &console, [&console](bool on) { console.setRemoteControl(on); });
    stop_->setObjectName(QStringLiteral("RemoteStop"));
    stop_->setTextFormat(Qt::PlainText);
    clearTrip_->setObjectName(QStringLiteral("ClearTrip"));
    clearTrip_->setToolTip(tr("Clears the latched trip, as a client's fault reset does. A client still "
                              "needs RUN 0, then RUN 1, to start."));
    clearTrip_->setAutoDefault(false);
    clearTrip_->hide();
    connect(clearTrip_, &QPushButton::clicked, &console, &RemoteConsole::clearTrip);
    note_->setObjectName(QStringLiteral("RemoteNote"));
    note_->setTextFormat(Qt::PlainText);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(box_);
    layout->addWidget(stop_);
    layout->addWidget(clearTrip_);
    layout->addWidget(note_, 1);
    setOn(console.remoteControl());
    showState();

    connect(&console, &RemoteConsole::remoteControlChanged, this, &RemoteSwitch::setOn);
    connect(&console, &RemoteConsole::controllerShown, this, &RemoteSwitch::showController);
    connect(&console, &RemoteConsole::stopShown, this, &RemoteSwitch::showStop);
    connect(&console, &RemoteConsole::noteShown, this, &RemoteSwitch::showNote);
}

void RemoteSwitch::setWhere(const QString& where)
{
    where_ = where;
    showState();
}

bool RemoteSwitch::isOn() const
{
    return box_->isChecked();
}

void RemoteSwitch::setOn(bool on)
{
    box_->setChecked(on);
}

void RemoteSwitch::showController(const QString& who)
{
    controller_ = who;
    showState();
}

void RemoteSwitch::showStop(const QString& text, bool tripLatched)
{
    stop_->setText(text);
    stop_->setToolTip(text);
    clearTrip_->setVisible(tripLatched);
}

void RemoteSwitch::showNote(const QString& note)
{
    note_->setText(note);
    note_->setToolTip(note);
}

void RemoteSwitch::showState()
{
    if (!box_->isChecked())
        box_->setText(tr("Remote control: off"));
    else if (controller_.isEmpty())
        box_->setText(tr("Remote control: on (%1)").arg(where_));
    else
        box_->setText(tr("Remote control: on, controlled by %1").arg(controller_));
}

}  // namespace app::remote
