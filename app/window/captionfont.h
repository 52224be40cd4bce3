// The font the window's captions are read in full with. The layout was drawn
// for a narrow 8-point face, and a face of today's default width overflows
// its labels and buttons: each size is tried by drawing every caption.
#ifndef APP_WINDOW_CAPTIONFONT_H
#define APP_WINDOW_CAPTIONFONT_H

#include <QFont>
#include <QRect>
#include <QString>

#include <vector>

namespace app::window {

// A caption as its control lays it out: the box its text must stay in, and
// the alignment and wrapping it is drawn with.
struct Caption {
    QString text;
    QRect box;
    int flags = 0;
};

// A face with the layout's metrics (Liberation Sans Narrow), where it is
// installed, at the largest size from 9 points down to 8 at which every
// caption, wrapped at its blanks, leaves no ink outside its box and a line of
// text is no taller than lineRoom (the inside of a field); failing that,
// fallback shrunk as far as it must, to 7 points at the least.
QFont captionFont(const std::vector<Caption>& captions, int lineRoom, const QFont& fallback);

// Whether text drawn in box with flags leaves no ink outside it.
bool inkFits(const QFont& font, const QString& text, const QRect& box, int flags);

}  // namespace app::window

#endif
