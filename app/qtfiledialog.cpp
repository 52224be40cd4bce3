#include "app/qtfiledialog.h"

#include <QFileDialog>

namespace app {

QString QtFileDialog::saveFileName(const QString& title, const QString& suggestedPath,
                                   const QString& filter)
{
    return QFileDialog::getSaveFileName(parent_, title, suggestedPath, filter);
}

} // namespace app
