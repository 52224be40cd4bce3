// The histogram's geometry comes from its font: the margins hold the axis
// labels, and the smallest size keeps them apart, so that nothing painted is
// clipped or overlaps at any size the layout may give.
#include "app/selftest/latenesshistogram.h"

#include <QEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

#include "app/text/durationtext.h"

namespace app::selftest {

namespace {

using port::selftest::latenessBinCount;
using port::selftest::latenessBinsPerDecade;

// Slots are left empty after the early bin: the lateness axis starts at 0
// on their right, and early steps are not a part of it. Two keep "early" and
// the first decade's label apart at a narrow width.
constexpr std::size_t gapSlots = 2;
constexpr std::size_t slotCount = latenessBinCount + gapSlots;
constexpr std::size_t onTimeBin = port::selftest::earlyBin + 1;
constexpr std::size_t firstDecadeBin = onTimeBin + 1;
constexpr double middle = 0.5;
constexpr int tickLength = 4;
constexpr int barGap = 1;
constexpr int markRows = 3;  // one row of the top margin per mark: labels never share a row
constexpr int rowSpacing = 2;
constexpr int axisDigits = 1;
constexpr double preferredSlotLines = 1.2;   // slot width in text lines, when there is room
constexpr int preferredPlotLines = 8;

// The position on the axis, in slots, of a position in bins.
double slotOf(double binPosition)
{
    return binPosition < 1.0 ? binPosition : binPosition + gapSlots;
}

std::size_t slotOfBin(std::size_t bin)
{
    return bin == port::selftest::earlyBin ? bin : bin + gapSlots;
}

QString decadeCountText(int decade)
{
    return text::countText(static_cast<std::uint64_t>(std::llround(std::pow(10.0, decade))));
}

QList<std::size_t> decadeBins()
{
    QList<std::size_t> bins;
    for (std::size_t bin = firstDecadeBin; bin < latenessBinCount; bin += latenessBinsPerDecade)
        bins.append(bin);
    return bins;
}

QString decadeText(std::size_t bin)
{
    return text::durationText(port::selftest::latenessBinStart(bin), axisDigits);
}

} // namespace

LatenessHistogram::LatenessHistogram(QWidget* parent)
    : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setAccessibleName(tr("Step lateness histogram"));
}

void LatenessHistogram::setTiming(const port::selftest::RateTiming& timing)
{
    timing_ = timing;
    updateGeometry();
    update();
}

void LatenessHistogram::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::FontChange)
        updateGeometry();
    QWidget::changeEvent(event);
}

int LatenessHistogram::topDecade() const
{
    const std::uint64_t most = *std::max_element(timing_.bins.begin(), timing_.bins.end());
    return std::max(1, static_cast<int>(std::ceil(std::log10(static_cast<double>(std::max<std::uint64_t>(most, 1))))));
}

int LatenessHistogram::leftMargin() const
{
    const QFontMetrics metrics = fontMetrics();
    int widest = metrics.horizontalAdvance(tr("steps"));
    for (int decade = 0; decade <= topDecade(); ++decade)
        widest = std::max(widest, metrics.horizontalAdvance(decadeCountText(decade)));
    return widest + tickLength + metrics.height() / 2;
}

int LatenessHistogram::rightMargin() const
{
    return fontMetrics().horizontalAdvance(decadeText(decadeBins().last())) / 2 + fontMetrics().height() / 2;
}

int LatenessHistogram::topMargin() const
{
    return markRows * (fontMetrics().height() + rowSpacing) + fontMetrics().height() / 2;
}

int LatenessHistogram::bottomMargin() const
{
    return tickLength + 2 * fontMetrics().height() + rowSpacing;
}

// Wide enough that the decade labels, five slots apart, and "early" beside
// the first of them, never touch.
double LatenessHistogram::minimumSlotWidth() const
{
    const QFontMetrics metrics = fontMetrics();
    const int space = metrics.horizontalAdvance(QLatin1Char(' ')) * 2;
    int widest = 0;
    for (const std::size_t bin : decadeBins())
        widest = std::max(widest, metrics.horizontalAdvance(decadeText(bin)));
    const double decades = (widest + space) / static_cast<double>(latenessBinsPerDecade);
    const double earlyToFirst = slotOfBin(firstDecadeBin) - middle;
    const double early = (metrics.horizontalAdvance(tr("early")) / 2.0 +
                          metrics.horizontalAdvance(decadeText(firstDecadeBin)) / 2.0 + space) /
                         earlyToFirst;
    return std::ceil(std::max(decades, early));
}

int LatenessHistogram::minimumPlotHeight() const
{
    return (topDecade() + 1) * fontMetrics().height();
}

QSize LatenessHistogram::minimumSizeHint() const
{
    int widestMark = 0;
    for (const Mark& mark : marks())
        widestMark = std::max(widestMark, fontMetrics().horizontalAdvance(mark.label));
    const int width = std::max(leftMargin() + static_cast<int>(slotCount * minimumSlotWidth()) + rightMargin(),
                               leftMargin() + widestMark + rightMargin());
    return {width, topMargin() + minimumPlotHeight() + bottomMargin()};
}

QSize LatenessHistogram::sizeHint() const
{
    const double slot = std::max(minimumSlotWidth(), preferredSlotLines * fontMetrics().height());
    const int plotHeight = std::max(minimumPlotHeight(), preferredPlotLines * fontMetrics().height());
    const QSize least = minimumSizeHint();
    return {std::max(least.width(), leftMargin() + static_cast<int>(slotCount * slot) + rightMargin()),
            topMargin() + plotHeight + bottomMargin()};
}

QRectF LatenessHistogram::plotRect() const
{
    return QRectF(leftMargin(), topMargin(), width() - leftMargin() - rightMargin(),
                  height() - topMargin() - bottomMargin());
}

double LatenessHistogram::slotWidth() const
{
    return plotRect().width() / static_cast<double>(slotCount);
}

double LatenessHistogram::slotX(double slot) const
{
    return plotRect().left() + slot * slotWidth();
}

// One step stands a decade's height above the axis, so that a lone stall
// shows as clearly as it matters.
double LatenessHistogram::countY(double count) const
{
    const QRectF plot = plotRect();
    return plot.bottom() - (std::log10(count) + 1.0) / (topDecade() + 1.0) * plot.height();
}

QRectF LatenessHistogram::barRect(std::size_t bin) const
{
    const std::uint64_t count = timing_.bins.at(bin);
    if (count == 0)
        return {};
    const double left = slotX(static_cast<double>(slotOfBin(bin))) + barGap;
    const double right = slotX(static_cast<double>(slotOfBin(bin) + 1)) - barGap;
    const double top = countY(static_cast<double>(count));
    return QRectF(QPointF(left, top), QPointF(right, plotRect().bottom()));
}

double LatenessHistogram::lateX(std::chrono::nanoseconds lateness) const
{
    return slotX(slotOf(port::selftest::latenessBinPosition(lateness)));
}

QList<LatenessHistogram::Mark> LatenessHistogram::marks() const
{
    // Kept dark enough to read on a light window as text, not only as lines.
    return {{tr("p50 %1").arg(text::durationText(timing_.p50)), timing_.p50, QColor(0x1b, 0x5e, 0x20)},
            {tr("p99 %1").arg(text::durationText(timing_.p99)), timing_.p99, QColor(0xa0, 0x40, 0x00)},
            {tr("max %1").arg(text::durationText(timing_.largest)), timing_.largest, QColor(0xb7, 0x1c, 0x1c)}};
}

void LatenessHistogram::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(plotRect(), palette().color(QPalette::Base));
    paintAxes(painter);
    if (timing_.steps == 0) {
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(plotRect(), Qt::AlignCenter, tr("No steps were measured"));
        return;
    }
    paintBars(painter);
    paintMarks(painter);
}

void LatenessHistogram::paintAxes(QPainter& painter) const
{
    const QRectF plot = plotRect();
    const QFontMetrics metrics = fontMetrics();
    const int line = metrics.height();
    const QColor text = palette().color(QPalette::WindowText);

    // counts: a grid line and a label at each power of ten
    for (int decade = 0; decade <= topDecade(); ++decade) {
        const double y = std::round(countY(std::pow(10.0, decade)));
        painter.setPen(palette().color(QPalette::Midlight));
        painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
        painter.setPen(text);
        painter.drawLine(QPointF(plot.left() - tickLength, y), QPointF(plot.left(), y));
        painter.drawText(QRectF(0, y - line / 2.0, plot.left() - tickLength - rowSpacing, line),
                         Qt::AlignRight | Qt::AlignVCenter, decadeCountText(decade));
    }
    painter.drawText(QRectF(0, 0, plot.left(), line), Qt::AlignLeft | Qt::AlignTop, tr("steps"));

    // lateness: a tick and a label at each decade, and the early bin apart
    painter.setPen(text);
    painter.drawLine(QPointF(plot.left(), plot.bottom()), QPointF(plot.right(), plot.bottom()));
    const double labelTop = plot.bottom() + tickLength;
    for (const std::size_t bin : decadeBins()) {
        const double x = std::round(slotX(static_cast<double>(slotOfBin(bin))));
        const QString label = decadeText(bin);
        const double half = metrics.horizontalAdvance(label) / 2.0 + 1.0;
        painter.drawLine(QPointF(x, plot.bottom()), QPointF(x, labelTop));
        painter.drawText(QRectF(x - half, labelTop, 2 * half, line), Qt::AlignCenter, label);
    }
    const double earlyX = slotX(middle);
    const double earlyHalf = metrics.horizontalAdvance(tr("early")) / 2.0 + 1.0;
    painter.drawText(QRectF(earlyX - earlyHalf, labelTop, 2 * earlyHalf, line), Qt::AlignCenter, tr("early"));
    painter.drawText(QRectF(plot.left(), labelTop + line + rowSpacing, plot.width(), line), Qt::AlignCenter,
                     tr("step lateness (logarithmic)"));
}

void LatenessHistogram::paintBars(QPainter& painter) const
{
    for (std::size_t bin = 0; bin < latenessBinCount; ++bin) {
        const QRectF bar = barRect(bin);
        if (!bar.isEmpty())
            painter.fillRect(bar, palette().color(QPalette::Highlight));
    }
}

// Each label sits in its own row above the plot, to the right of its line, or
// to the left where it would leave the widget; its background keeps it
// readable where another mark's line passes.
void LatenessHistogram::paintMarks(QPainter& painter) const
{
    const QRectF plot = plotRect();
    const QFontMetrics metrics = fontMetrics();
    const int line = metrics.height();
    const int space = metrics.horizontalAdvance(QLatin1Char(' '));
    int row = 0;
    for (const Mark& mark : marks()) {
        const double x = std::round(lateX(mark.lateness)) + middle;
        const double top = row * (line + rowSpacing);
        const int width = metrics.horizontalAdvance(mark.label) + 2;
        const bool leftOfLine = x + space + width > this->width();
        const QRectF labelRect(leftOfLine ? x - space - width : x + space, top, width, line);
        QPen pen(mark.color);
        pen.setStyle(Qt::DashLine);
        painter.setPen(pen);
        painter.drawLine(QPointF(x, top), QPointF(x, plot.bottom()));
        painter.fillRect(labelRect, palette().color(QPalette::Window));
        painter.setPen(mark.color);
        painter.drawText(labelRect, Qt::AlignCenter, mark.label);
        ++row;
    }
}

}  // namespace app::selftest
