// The operator's message box, except while a remote request is done on the
// console: then nobody at the PC may be there to close a box, and the message
// is the request's refusal instead, said on the strip.
#ifndef APP_REMOTE_REQUESTMESSAGEBOX_H
#define APP_REMOTE_REQUESTMESSAGEBOX_H

#include "app/console/messagebox.h"

#include <QString>

#include <optional>

namespace app::remote {

class RequestMessageBox : public console::MessageBox
{
public:
    // box must outlive this one.
    explicit RequestMessageBox(console::MessageBox& box) : box_(box) {}

    void show(const QString& prompt, const QString& title) override
    {
        if (!capturing_)
            box_.show(prompt, title);
        else if (!captured_)
            captured_ = prompt;
    }

    // From now until release(), messages are kept, not shown.
    void capture()
    {
        capturing_ = true;
        captured_.reset();
    }
    // The first message kept since capture(), if any.
    std::optional<QString> release()
    {
        capturing_ = false;
        return std::exchange(captured_, std::nullopt);
    }

private:
    console::MessageBox& box_;
    bool capturing_ = false;
    std::optional<QString> captured_;
};

}  // namespace app::remote

#endif  // APP_REMOTE_REQUESTMESSAGEBOX_H
