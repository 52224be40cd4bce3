// The ellipsis and the tooltip follow what the box shows now, read back from
// the line edit itself (where its first and last visible characters are), so
// they hold however the text got there: typed, pasted or set by the program.
#include "app/window/textfield.h"

#include <QHelpEvent>
#include <QPainter>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTextDocument>
#include <QToolTip>

namespace app::window {

namespace {

// QLineEdit keeps this many pixels between its contents' edge and the text.
constexpr int lineEditTextInset = 2;

// The text cut to width at whole characters, an ellipsis where more lies. A
// number's exponent stays in view: "3.4983…E-06", never "3.49833333…", which
// would pass for a number a million times larger.
QString cutText(const QFontMetrics& metrics, const QString& text, Qt::TextElideMode mode, int width)
{
    static const QRegularExpression exponent(QStringLiteral("\\d([eE][+-]?\\d+)$"));
    const QRegularExpressionMatch match = exponent.match(text);
    if (mode != Qt::ElideRight || !match.hasMatch())
        return metrics.elidedText(text, mode, width);
    const QString suffix = match.captured(1);
    return metrics.elidedText(text.left(match.capturedStart(1)), mode, width - metrics.horizontalAdvance(suffix))
           + suffix;
}

}  // namespace

TextField::TextField(const QString& text, QWidget* parent)
    : QLineEdit(text, parent)
{
}

QRect TextField::lineRect() const
{
    QStyleOptionFrame option;
    initStyleOption(&option);
    const QRect contents =
        style()->subElementRect(QStyle::SE_LineEditContents, &option, this).marginsRemoved(textMargins());
    return contents.adjusted(lineEditTextInset, 0, -lineEditTextInset, 0);
}

TextField::Hidden TextField::hidden()
{
    const QRect line = lineRect();
    const int middle = line.center().y();
    return {cursorPositionAt(QPoint(line.left(), middle)) > 0,
            cursorPositionAt(QPoint(line.right(), middle)) < text().size()};
}

bool TextField::event(QEvent* event)
{
    if (event->type() != QEvent::ToolTip || !toolTip().isEmpty())
        return QLineEdit::event(event);
    const Hidden cut = hidden();
    if (!cut.before && !cut.after)
        return QLineEdit::event(event);
    // As text, whatever it holds: a typed '<b>' is no markup.
    const QString whole = Qt::mightBeRichText(text()) ? Qt::convertFromPlainText(text()) : text();
    QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), whole, this, rect());
    return true;
}

// While the field has the focus its cursor says where the text goes on. A
// field left alone shows a cut text as a cut text: whole characters and an
// ellipsis on the side where more lies (from the start, unless its view was
// left further on), never a glyph sliced at the edge.
void TextField::paintEvent(QPaintEvent* event)
{
    QLineEdit::paintEvent(event);
    if (hasFocus())
        return;
    const Hidden cut = hidden();
    if (!cut.before && !cut.after)
        return;
    const QRect line = lineRect();
    const QRect contents = line.adjusted(-lineEditTextInset, 0, lineEditTextInset, 0);
    const QFontMetrics metrics = fontMetrics();
    const QString shown = cutText(metrics, text(), cut.before ? Qt::ElideLeft : Qt::ElideRight, line.width());
    QPainter painter(this);
    painter.fillRect(contents, palette().brush(QPalette::Base));
    painter.setPen(palette().color(QPalette::Text));
    // Where QLineEdit puts its line: centred in its contents.
    const int top = contents.top() + (contents.height() - metrics.height() + 1) / 2;
    painter.drawText(QPoint(line.left(), top + metrics.ascent()), shown);
}

}  // namespace app::window
