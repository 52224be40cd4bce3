// Paints the button's frame through the style, then its caption wrapped.
#include "app/window/captionbutton.h"

#include <QStyleOptionButton>
#include <QStylePainter>

namespace app::window {

// Room left between the button's edge and its caption for the frame.
static constexpr int captionMarginX = 2;
static constexpr int captionMarginY = 1;

QRect CaptionButton::captionRect() const
{
    return rect().adjusted(captionMarginX, captionMarginY, -captionMarginX, -captionMarginY);
}

void CaptionButton::paintEvent(QPaintEvent*)
{
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text.clear();
    painter.drawControl(QStyle::CE_PushButton, option);
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                   QPalette::ButtonText));
    painter.drawText(captionRect(), captionFlags, text());
}

}  // namespace app::window
