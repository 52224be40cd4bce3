#include "app/window/qtfiledialog.h"

#include <QFileDialog>

namespace app::window {

QString QtFileDialog::saveFileName(const QString& title, const QString& suggestedPath,
                                   const QString& filter)
{
    return QFileDialog::getSaveFileName(parent_, title, suggestedPath, filter);
}

}  // namespace app::window
