// The program's icon: a stepped sine, as the converter puts out, on every
// window the program opens.
#ifndef APP_WINDOW_APPLICATIONICON_H
#define APP_WINDOW_APPLICATIONICON_H

#include <QIcon>

namespace app::window {

QIcon applicationIcon();

}  // namespace app::window

#endif
