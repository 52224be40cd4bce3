// How the console tells the operator something: the window shows a modal box
// with one OK button. Injected so that tests record the boxes instead of
// blocking on them, and a program without a window says them elsewhere.
#ifndef APP_CONSOLE_MESSAGEBOX_H
#define APP_CONSOLE_MESSAGEBOX_H

class QString;

namespace app::console {

class MessageBox
{
public:
    virtual ~MessageBox() = default;
    // Returns once the operator has pressed OK.
    virtual void show(const QString& prompt, const QString& title) = 0;
};

}  // namespace app::console

#endif
