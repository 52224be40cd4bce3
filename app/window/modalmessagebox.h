// The real message box: a modal QMessageBox with a single OK button and no icon.
#ifndef APP_WINDOW_MODALMESSAGEBOX_H
#define APP_WINDOW_MODALMESSAGEBOX_H

#include "app/console/messagebox.h"

class QWidget;

namespace app::window {

class ModalMessageBox : public console::MessageBox
{
public:
    explicit ModalMessageBox(QWidget* parent = nullptr);
    void setParent(QWidget* parent);
    void show(const QString& prompt, const QString& title) override;

private:
    QWidget* parent_;
};

}  // namespace app::window

#endif
