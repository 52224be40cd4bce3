// A push button whose caption wraps at blanks inside its rectangle, as the
// captions of narrow, tall buttons must to be read in full.
#ifndef APP_WINDOW_CAPTIONBUTTON_H
#define APP_WINDOW_CAPTIONBUTTON_H

#include <QPushButton>

namespace app::window {

class CaptionButton : public QPushButton
{
    Q_OBJECT

public:
    using QPushButton::QPushButton;

    // The part of the button the caption is laid out in.
    QRect captionRect() const;
    static constexpr int captionFlags = Qt::AlignCenter | Qt::TextWordWrap;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace app::window

#endif
