// The save-file question as a service, so that tests can answer it without a
// modal dialog.
#ifndef APP_WINDOW_FILEDIALOG_H
#define APP_WINDOW_FILEDIALOG_H

#include <QString>

namespace app::window {

class FileDialog
{
public:
    virtual ~FileDialog() = default;
    // The path the operator chose to save to, or an empty string when cancelled.
    // filter is a Qt name filter such as "Value change dump (*.vcd)".
    virtual QString saveFileName(const QString& title, const QString& suggestedPath,
                                 const QString& filter) = 0;
};

}  // namespace app::window

#endif
