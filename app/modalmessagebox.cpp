// Shows a modal box and waits for OK.
#include "app/modalmessagebox.h"

#include <QMessageBox>

namespace app {

ModalMessageBox::ModalMessageBox(QWidget* parent)
    : parent_(parent)
{
}

void ModalMessageBox::setParent(QWidget* parent)
{
    parent_ = parent;
}

void ModalMessageBox::show(const QString& prompt, const QString& title)
{
    QMessageBox box(QMessageBox::NoIcon, title, prompt, QMessageBox::Ok, parent_);
    box.exec();
}

} // namespace app
