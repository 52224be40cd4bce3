// The console's run control under the window's name for it, for the code and
// tests that reach it through the window.
#ifndef APP_WINDOW_RUNADAPTER_H
#define APP_WINDOW_RUNADAPTER_H

#include "app/console/runadapter.h"

namespace app::window {
using console::RunAdapter;
}

#endif
