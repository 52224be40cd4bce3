// The icon from the program's resources.
#include "app/window/applicationicon.h"

namespace app::window {

QIcon applicationIcon()
{
    return QIcon(QStringLiteral(":/icons/frequency-converter.svg"));
}

}  // namespace app::window
