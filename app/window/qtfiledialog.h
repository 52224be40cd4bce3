// The save-file question asked with Qt's own file dialog.
#ifndef APP_WINDOW_QTFILEDIALOG_H
#define APP_WINDOW_QTFILEDIALOG_H

#include "app/window/filedialog.h"

class QWidget;

namespace app::window {

class QtFileDialog : public FileDialog
{
public:
    // The dialogs are centred on parent when one is set.
    void setParent(QWidget* parent) { parent_ = parent; }

    QString saveFileName(const QString& title, const QString& suggestedPath,
                         const QString& filter) override;

private:
    QWidget* parent_ = nullptr;
};

}  // namespace app::window

#endif
