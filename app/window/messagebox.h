// The console's message box under the window's name for it, for the code and
// tests that reach it through the window.
#ifndef APP_WINDOW_MESSAGEBOX_H
#define APP_WINDOW_MESSAGEBOX_H

#include "app/console/messagebox.h"

namespace app::window {
using console::MessageBox;
}

#endif
