// The real message box: a modal QMessageBox with a single OK button and no icon.
#ifndef APP_MODALMESSAGEBOX_H
#define APP_MODALMESSAGEBOX_H

#include "app/messagebox.h"

class QWidget;

namespace app {

class ModalMessageBox : public MessageBox
{
public:
    explicit ModalMessageBox(QWidget* parent = nullptr);
    void setParent(QWidget* parent);
    void show(const QString& prompt, const QString& title) override;

private:
    QWidget* parent_;
};

} // namespace app

#endif
