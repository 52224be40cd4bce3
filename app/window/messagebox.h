// How the window tells the operator something: a modal box with one OK button.
// Injected so that tests record the boxes instead of blocking on them.
#ifndef APP_WINDOW_MESSAGEBOX_H
#define APP_WINDOW_MESSAGEBOX_H

class QString;

namespace app::window {

class MessageBox
{
public:
    virtual ~MessageBox() = default;
    // Returns once the operator has pressed OK.
    virtual void show(const QString& prompt, const QString& title) = 0;
};

}  // namespace app::window

#endif
