// The icon from the program's resources.
#include "app/applicationicon.h"

namespace app {

QIcon applicationIcon()
{
    return QIcon(QStringLiteral(":/icons/frequency-converter.svg"));
}

} // namespace app
