// Fitting by ink rather than by font metrics: a word that wraps onto a line
// the box has no room for shows only as ink below the box.
#include "app/window/captionfont.h"

#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>

namespace app::window {

namespace {

// The narrow face is used from 9 points down to 8; the default face may be
// shrunk to 7 before the captions are left to overflow.
constexpr qreal preferredPointSize = 9.0;
constexpr qreal minimumPreferredPointSize = 8.0;
constexpr qreal minimumPointSize = 7.0;
constexpr qreal pointSizeStep = 0.5;

bool captionsFit(const QFont& font, const std::vector<Caption>& captions, int lineRoom)
{
    for (const Caption& caption : captions)
        if (!inkFits(font, caption.text, caption.box, caption.flags))
            return false;
    // A field shows its text whole: the line is no taller than its inside.
    return QFontMetrics(font).height() <= lineRoom;
}

} // namespace

QFont captionFont(const std::vector<Caption>& captions, int lineRoom, const QFont& fallback)
{
    struct Candidate {
        QFont font;
        qreal largest;
        qreal smallest;
    };
    QFont narrow(QStringLiteral("Liberation Sans Narrow"));
    narrow.setStyleHint(QFont::SansSerif);
    const qreal fallbackSize = fallback.pointSizeF() > 0 ? fallback.pointSizeF() : preferredPointSize;
    std::vector<Candidate> candidates;
    if (QFontInfo(narrow).family() == narrow.family())
        candidates.push_back({narrow, preferredPointSize, minimumPreferredPointSize});
    candidates.push_back({fallback, fallbackSize, minimumPointSize});
    for (Candidate& candidate : candidates) {
        for (qreal size = candidate.largest; size >= candidate.smallest; size -= pointSizeStep) {
            candidate.font.setPointSizeF(size);
            if (captionsFit(candidate.font, captions, lineRoom))
                return candidate.font;
        }
    }
    QFont smallest = fallback;
    smallest.setPointSizeF(minimumPointSize);
    return smallest;
}

// Drawn on a larger canvas, the ink the box would clip is seen.
bool inkFits(const QFont& font, const QString& text, const QRect& box, int flags)
{
    constexpr int room = 16;  // beyond the box, where clipped ink would fall
    QImage canvas(box.width() + room, box.height() + room, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    {
        QPainter painter(&canvas);
        painter.setFont(font);
        painter.setPen(Qt::black);
        painter.drawText(QRect(QPoint(0, 0), box.size()), flags | Qt::TextDontClip, text);
    }
    for (int y = 0; y < canvas.height(); ++y)
        for (int x = 0; x < canvas.width(); ++x)
            if ((x >= box.width() || y >= box.height()) && qAlpha(canvas.pixel(x, y)) != 0)
                return false;
    return true;
}

}  // namespace app::window
