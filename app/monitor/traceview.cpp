// The trace view: the axis, the painting of the traces its model holds, and
// zoom and pan.
#include "app/monitor/traceview.h"

#include "app/text/durationtext.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "port/pattern/steppattern.h"

namespace app::monitor {

namespace {

constexpr int leftMargin = 40;    // line names
constexpr int bottomMargin = 24;  // time axis
constexpr int rightMargin = 8;
constexpr int rowPadding = 3;
constexpr int labelGap = 16;      // px of blank between two axis labels
constexpr int labelTop = 6;       // px below the plot

constexpr std::int64_t microsecond = 1'000;
constexpr std::int64_t millisecond = 1'000'000;
constexpr std::int64_t second = 1'000'000'000;

const QColor background(16, 16, 24);
const QColor axisColor(170, 170, 170);
const QColor unknownColor(110, 110, 110);
const QColor stepColor(60, 60, 90);

QString lineName(int line)
{
    if (line == TraceView::keepAliveLine)
        return QStringLiteral("KA");
    return QString::fromLatin1(port::pattern::lineNames[static_cast<std::size_t>(line)]);
}

QString unitName(std::int64_t unit)
{
    if (unit == second)
        return QStringLiteral(" s");
    if (unit == millisecond)
        return QStringLiteral(" ms");
    return QStringLiteral(" µs");
}

// The smallest multiple of step at or after time.
std::int64_t firstTickAt(std::int64_t time, std::int64_t step)
{
    return time >= 0 ? (time + step - 1) / step * step : -((-time) / step * step);
}

} // namespace

TraceView::TraceView(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("TraceView"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(false);
}

void TraceView::setWrites(std::vector<Write> writes)
{
    model_.setWrites(std::move(writes));
    origin_.reset();
    adoptOrigin();
    updateRange();
}

void TraceView::appendWrites(const std::vector<Write>& writes)
{
    if (writes.empty())
        return;
    model_.appendWrites(writes);
    adoptOrigin();
    updateRange();
}

void TraceView::setCapacity(std::size_t capacity)
{
    model_.setCapacity(capacity);
    updateRange();
}

void TraceView::setKeepAlive(std::vector<Write> toggles)
{
    model_.setKeepAlive(std::move(toggles));
    keepAliveShown_ = true;
    update();
}

void TraceView::appendKeepAlive(const std::vector<Write>& toggles)
{
    model_.appendKeepAlive(toggles);
    keepAliveShown_ = true;
    update();
}

void TraceView::setPresent(std::int64_t nanoseconds)
{
    present_ = nanoseconds;
    model_.lookedAt(nanoseconds);
    if (following_)
        updateRange();
    else
        update();
}

std::int64_t TraceView::present() const
{
    return writes().empty() ? newest() : std::max(present_, newest());
}

void TraceView::setTimeRange(std::int64_t begin, std::int64_t end)
{
    leaveFollowing();
    span_ = clampedSpan(end - begin);
    begin_ = origin() + begin;
    const std::int64_t low = oldest() - span_ / 2;
    const std::int64_t high = std::max(low, present() - span_ / 2);
    begin_ = std::clamp(begin_, low, high);
    update();
    emit viewChanged();
}

TraceView::TimeRange TraceView::timeRange() const
{
    return {begin_ - origin(), begin_ + span_ - origin()};
}

QString TraceView::currentStepText() const
{
    if (writes().empty())
        return {};
    const port::record::RunModel& run = model_.runModel();
    if (const auto step = run.stepShown())
        return QStringLiteral("step %1 of %2").arg(*step + 1).arg(port::pattern::stepsPerCycle);
    if (run.idleShown())
        return QStringLiteral("idle");
    const auto hex = [](const std::optional<Write>& write) {
        return write ? QStringLiteral("0x")
                + QString::number(write->value, 16).rightJustified(2, QLatin1Char('0')).toUpper()
                     : QStringLiteral("unknown");
    };
    return QStringLiteral("data %1, control %2").arg(hex(run.lastData()), hex(run.lastControl()));
}

QString TraceView::recordSpanText() const
{
    if (writes().empty())
        return tr("nothing written yet");
    const std::optional<Run>& run = this->run();
    if (!run)
        return tr("no run held");
    const Write& oldestHeld = writes().front();
    const std::int64_t end = run->end.value_or(present());
    if (run->lostBefore(oldestHeld).startHeld)
        return tr("the whole run, %1").arg(text::durationText(std::chrono::nanoseconds(end - run->start), spanDigits));
    if (end <= oldestHeld.nanoseconds)
        return tr("no run held");
    const QString held =
        text::durationText(std::chrono::nanoseconds(end - std::max(run->start, oldestHeld.nanoseconds)), spanDigits);
    if (run->startedAfter)
        return tr("showing the last %1 of the run, at most %2 long; time 0 is the first write seen")
            .arg(held, text::durationText(std::chrono::nanoseconds(end - *run->startedAfter), spanDigits));
    if (!run->startSeen)
        return tr("showing the last %1 of the run; its start was not seen, time 0 is the first write seen")
            .arg(held);
    return tr("showing the last %1 of the run").arg(held);
}

QRect TraceView::plotRect() const
{
    return rect().adjusted(leftMargin, rowPadding, -rightMargin, -bottomMargin);
}

QRect TraceView::traceRect(int line) const
{
    const QRect plot = plotRect();
    const int rowHeight = plot.height() / rowCount();
    const int top = plot.top() + line * rowHeight + rowPadding;
    return QRect(plot.left(), top, plot.width(), std::max(2, rowHeight - 2 * rowPadding));
}

double TraceView::xForTime(std::int64_t time) const
{
    return xForAbsolute(time + origin());
}

double TraceView::timeForX(double x) const
{
    const QRect plot = plotRect();
    return (x - plot.left()) * static_cast<double>(span_) / std::max(1, plot.width())
        + static_cast<double>(begin_ - origin());
}

QColor TraceView::traceColor(int line)
{
    if (line == controlLine)
        return QColor(255, 200, 40);
    if (line == keepAliveLine)
        return QColor(90, 200, 255);
    return QColor(80, 230, 120);
}

QColor TraceView::backgroundColor()
{
    return background;
}

std::int64_t TraceView::tickStep(std::int64_t span, int width, int spacing)
{
    const double least = static_cast<double>(std::max<std::int64_t>(span, 1))
        * spacing / std::max(1, width);
    std::int64_t decade = 1;
    while (true) {
        for (std::int64_t factor : {1, 2, 5}) {
            if (static_cast<double>(decade * factor) >= least)
                return decade * factor;
        }
        decade *= 10;
    }
}

// Whole numbers throughout: a double would show 30.5002 s as 30.500199999.
QString TraceView::tickLabel(std::int64_t time, std::int64_t step)
{
    step = std::max<std::int64_t>(step, 1);
    const std::uint64_t size = static_cast<std::uint64_t>(std::abs(time));
    const std::int64_t magnitude = std::max(static_cast<std::int64_t>(size), step);
    const std::int64_t unit = magnitude >= second ? second : magnitude >= millisecond ? millisecond : microsecond;
    std::int64_t resolution = unit;
    int decimals = 0;
    while (step % resolution != 0 && resolution > 1) {
        resolution /= 10;
        ++decimals;
    }
    const auto whole = static_cast<std::uint64_t>(unit);
    QString text = (time < 0 ? QStringLiteral("-") : QString()) + QString::number(size / whole);
    if (decimals > 0)
        text += QLatin1Char('.')
            + QString::number(size % whole / static_cast<std::uint64_t>(resolution))
                  .rightJustified(decimals, QLatin1Char('0'));
    return text + unitName(unit);
}

std::int64_t TraceView::axisStep() const
{
    const QRect plot = plotRect();
    const QFontMetrics metrics = fontMetrics();
    const std::int64_t first = begin_ - origin();
    int spacing = minimumTickSpacing;
    std::int64_t step = tickStep(span_, plot.width(), spacing);
    // Finer steps need more decimals, later times more digits: widen the
    // step until the widest label on screen fits between two ticks.
    for (int attempt = 0; attempt < 8; ++attempt) {
        int widest = 0;
        for (std::int64_t tick = firstTickAt(first, step); tick < first + span_; tick += step)
            widest = std::max(widest, metrics.horizontalAdvance(tickLabel(tick, step)));
        const double apart = static_cast<double>(step) * plot.width() / static_cast<double>(span_);
        if (widest + labelGap <= apart)
            break;
        spacing = std::max(spacing + 1, widest + labelGap);
        step = tickStep(span_, plot.width(), spacing);
    }
    return step;
}

std::vector<TraceView::AxisLabel> TraceView::axisLabels() const
{
    if (writes().empty())
        return {};
    return axisLabels(axisStep());
}

std::vector<TraceView::AxisLabel> TraceView::axisLabels(std::int64_t step) const
{
    std::vector<AxisLabel> labels;
    const QRect plot = plotRect();
    const QFontMetrics metrics = fontMetrics();
    const std::int64_t first = begin_ - origin();
    int previousRight = std::numeric_limits<int>::min() / 2;
    for (std::int64_t tick = firstTickAt(first, step); tick < first + span_; tick += step) {
        const QString text = tickLabel(tick, step);
        const int width = metrics.horizontalAdvance(text);
        const int centre = static_cast<int>(std::floor(xForTime(tick)));
        // Centred on its tick, but moved in rather than cut at either edge.
        const int left = std::max(0, std::min(centre - width / 2, plot.right() + 1 - width));
        if (left < previousRight + labelGap)
            continue;
        labels.push_back({tick, text, QRect(left, plot.bottom() + labelTop, width, metrics.height())});
        previousRight = left + width;
    }
    return labels;
}

QSize TraceView::sizeHint() const { return {800, 400}; }
QSize TraceView::minimumSizeHint() const { return {300, 200}; }

void TraceView::followLive()
{
    following_ = true;
    autoSpan_ = true;
    adoptOrigin();
    updateRange();
}

void TraceView::paintEvent(QPaintEvent*)
{
    ++framesPainted_;
    QPainter painter(this);
    painter.fillRect(rect(), background);
    paintStep(painter);
    paintAxis(painter);
    for (int line = 0; line < rowCount(); ++line) {
        paintUnknown(painter, line);
        paintTrace(painter, line);
    }
}

void TraceView::wheelEvent(QWheelEvent* event)
{
    const int delta = event->angleDelta().y();
    if (delta == 0) {
        event->ignore();
        return;
    }
    const QRect plot = plotRect();
    const double x = event->position().x();
    const double under = timeForX(x);
    const std::int64_t span = clampedSpan(static_cast<std::int64_t>(
        std::llround(static_cast<double>(span_) * std::pow(0.8, delta / 120.0))));
    const double left = under - (x - plot.left()) * static_cast<double>(span) / std::max(1, plot.width());
    const auto begin = static_cast<std::int64_t>(std::llround(left));
    setTimeRange(begin, begin + span);
    event->accept();
}

void TraceView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    dragging_ = true;
    dragStartX_ = qRound(event->position().x());
    dragStartBegin_ = begin_;
}

void TraceView::mouseMoveEvent(QMouseEvent* event)
{
    if (!dragging_)
        return;
    const int dx = qRound(event->position().x()) - dragStartX_;
    const double shift = dx * static_cast<double>(span_) / std::max(1, plotRect().width());
    const std::int64_t begin = dragStartBegin_ - static_cast<std::int64_t>(std::llround(shift)) - origin();
    setTimeRange(begin, begin + span_);
}

void TraceView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        dragging_ = false;
}

void TraceView::mouseDoubleClickEvent(QMouseEvent*)
{
    dragging_ = false;
    followLive();
}

// A paused view keeps its time 0 so that what the operator looks at keeps
// its times; a following one counts from the run it follows.
void TraceView::adoptOrigin()
{
    if (run() && (following_ || !origin_))
        origin_ = run()->start;
    else if (!origin_ && !writes().empty())
        origin_ = writes().front().nanoseconds;
}

void TraceView::leaveFollowing()
{
    following_ = false;
    autoSpan_ = false;
}

void TraceView::updateRange()
{
    if (following_) {
        if (autoSpan_)
            span_ = defaultSpan();
        begin_ = present() - span_;
    }
    update();
    emit viewChanged();
}

std::int64_t TraceView::oldest() const
{
    return writes().empty() ? 0 : writes().front().nanoseconds;
}

std::int64_t TraceView::newest() const
{
    return writes().empty() ? 0 : writes().back().nanoseconds;
}

std::int64_t TraceView::defaultSpan() const
{
    if (const auto cycle = model_.runModel().cycleLength())
        return clampedSpan(2 * *cycle);
    return fallbackSpan;
}

std::int64_t TraceView::clampedSpan(std::int64_t span) const
{
    return std::clamp<std::int64_t>(span, minimumSpan, std::int64_t{1} << 50);
}

double TraceView::xForAbsolute(std::int64_t time) const
{
    const QRect plot = plotRect();
    return plot.left()
        + static_cast<double>(time - begin_) * plot.width() / static_cast<double>(span_);
}

double TraceView::presentX() const
{
    return xForAbsolute(present());
}

std::int64_t TraceView::columnStart(int x) const
{
    const QRect plot = plotRect();
    return begin_ + static_cast<std::int64_t>(std::ceil(
        static_cast<double>(x - plot.left()) * static_cast<double>(span_) / std::max(1, plot.width())));
}

void TraceView::paintAxis(QPainter& painter) const
{
    const QRect plot = plotRect();
    painter.setPen(axisColor);
    painter.drawLine(plot.left(), plot.bottom() + 1, plot.right(), plot.bottom() + 1);
    if (!writes().empty()) {
        const std::int64_t step = axisStep();
        const std::int64_t first = begin_ - origin();
        for (std::int64_t tick = firstTickAt(first, step); tick < first + span_; tick += step) {
            const int x = static_cast<int>(std::floor(xForTime(tick)));
            painter.drawLine(x, plot.bottom() + 1, x, plot.bottom() + labelTop - 1);
        }
        const int ascent = painter.fontMetrics().ascent();
        for (const AxisLabel& label : axisLabels(step))
            painter.drawText(label.rect.left(), label.rect.top() + ascent, label.text);
    }
    for (int line = 0; line < rowCount(); ++line) {
        const QRect row = traceRect(line);
        painter.drawText(QRect(0, row.top(), leftMargin - 4, row.height()),
                         Qt::AlignRight | Qt::AlignVCenter, lineName(line));
    }
}

void TraceView::paintStep(QPainter& painter) const
{
    const std::optional<Write> step = model_.runModel().stepUnderWay();
    if (!step)
        return;
    const QRect plot = plotRect();
    const double from = std::max<double>(plot.left(), xForAbsolute(step->nanoseconds));
    const double to = std::min<double>(plot.right() + 1, presentX());
    if (from >= to)
        return;
    painter.fillRect(QRectF(from, plot.top(), to - from, plot.height()), stepColor);
}

void TraceView::paintUnknown(QPainter& painter, int line) const
{
    const TraceModel::Trace& trace = model_.trace(static_cast<std::size_t>(line));
    const QRect row = traceRect(line);
    double until = std::min<double>(row.right() + 1, presentX());
    if (!trace.edges.empty())
        until = std::min(until, xForAbsolute(trace.edges.front()));
    if (until <= row.left())
        return;
    const QRectF band(row.left(), row.top(), until - row.left(), row.height() + 1);
    painter.fillRect(band, QBrush(unknownColor, Qt::BDiagPattern));
}

void TraceView::paintTrace(QPainter& painter, int line) const
{
    const TraceModel::Trace& trace = model_.trace(static_cast<std::size_t>(line));
    const std::vector<std::int64_t>& edges = trace.edges;
    if (edges.empty())
        return;
    const QRect plot = plotRect();
    const QRect row = traceRect(line);
    const int high = row.top();
    const int low = row.bottom();
    const std::int64_t end = begin_ + span_;
    const auto levelAfter = [&](std::size_t k) { return trace.firstLevel != (k % 2 == 1); };
    const auto column = [&](std::int64_t time) {
        return static_cast<int>(std::floor(xForAbsolute(time)));
    };

    std::size_t k = static_cast<std::size_t>(
        std::upper_bound(edges.begin(), edges.end(), begin_) - edges.begin());
    int xStart = plot.left();
    bool level = false;
    if (k == 0) {
        // Unknown at the left edge: the trace starts at its first write.
        if (edges.front() >= end)
            return;
        xStart = column(edges.front());
        level = trace.firstLevel;
        k = 1;
    } else {
        level = levelAfter(k - 1);
    }

    painter.setPen(traceColor(line));
    while (k < edges.size() && edges[k] < end) {
        const int x = column(edges[k]);
        const int y = level ? high : low;
        if (x > xStart)
            painter.drawLine(xStart, y, x, y);
        // All edges inside this pixel column become one vertical line.
        auto next = static_cast<std::size_t>(
            std::lower_bound(edges.begin() + static_cast<std::ptrdiff_t>(k), edges.end(),
                             columnStart(x + 1)) - edges.begin());
        next = std::max(next, k + 1);
        painter.drawLine(x, high, x, low);
        level = levelAfter(next - 1);
        xStart = x;
        k = next;
    }
    // The last level holds until now, not just until the last write.
    const double now = presentX();
    const int stop = now > plot.right() ? plot.right() : static_cast<int>(std::floor(now));
    if (stop >= xStart)
        painter.drawLine(xStart, level ? high : low, stop, level ? high : low);
}

}  // namespace app::monitor
