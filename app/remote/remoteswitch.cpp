#include "app/remote/remoteswitch.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>

namespace app::remote {

RemoteSwitch::RemoteSwitch(QWidget* parent)
    : QWidget(parent)
    , box_(new QCheckBox(this))
    , note_(new QLabel(this))
{
    setObjectName(QStringLiteral("RemoteSwitch"));
    box_->setObjectName(QStringLiteral("RemoteControl"));
    box_->setToolTip(tr("Lets a Modbus client set the operating point and run the motor as the operator "
                        "would. STOP on the window ends the run and turns it off."));
    connect(box_, &QCheckBox::toggled, this, [this](bool on) {
        showState();
        emit toggled(on);
    });
    note_->setObjectName(QStringLiteral("RemoteNote"));
    note_->setTextFormat(Qt::PlainText);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(box_);
    layout->addWidget(note_, 1);
    showState();
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
