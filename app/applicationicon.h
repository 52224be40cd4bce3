// The program's icon: a stepped sine, as the converter puts out, on every
// window the program opens.
#ifndef APP_APPLICATIONICON_H
#define APP_APPLICATIONICON_H

#include <QIcon>

namespace app {

QIcon applicationIcon();

} // namespace app

#endif
