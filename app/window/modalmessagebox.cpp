// Shows a modal box and waits for OK.
#include "app/window/modalmessagebox.h"

#include <QMessageBox>

namespace app::window {

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
    // Prompts carry paths and the system's error lines: a "<" in them is text,
    // and a line that happens to look like markup must not be rendered as it.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

}  // namespace app::window
