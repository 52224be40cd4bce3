// The mark and the tooltip follow what the box shows now, read back from the
// line edit itself (where its first and last visible characters are), so
// they hold however the text got there: typed, pasted or set by the program.
#include "app/window/textfield.h"

#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTextDocument>
#include <QToolTip>

namespace app::window {

namespace {

// QLineEdit keeps this many pixels between its contents' edge and the text.
constexpr int lineEditTextInset = 2;

const QString moreMark = QStringLiteral("\u2026");  // …

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

// While the field has the focus its cursor says where the text goes on; a
// field left alone marks each cut side with an ellipsis over its edge.
void TextField::paintEvent(QPaintEvent* event)
{
    QLineEdit::paintEvent(event);
    if (hasFocus())
        return;
    const Hidden cut = hidden();
    if (!cut.before && !cut.after)
        return;
    QStyleOptionFrame option;
    initStyleOption(&option);
    const QRect contents = style()->subElementRect(QStyle::SE_LineEditContents, &option, this);
    const QRect line = lineRect();
    const int markWidth = fontMetrics().horizontalAdvance(moreMark) + lineEditTextInset;
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::Text));
    const auto mark = [&](int left, int right) {
        const QRect box(QPoint(left, contents.top()), QPoint(right, contents.bottom()));
        painter.fillRect(box, palette().brush(QPalette::Base));
        painter.drawText(box, Qt::AlignCenter, moreMark);
    };
    if (cut.before)
        mark(contents.left(), line.left() + markWidth - 1);
    if (cut.after)
        mark(line.right() - markWidth + 1, contents.right());
}

}  // namespace app::window
