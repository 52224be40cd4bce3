// The trace view keeps, per line, the times at which the line changes, so a
// frame only needs binary searches over those edges for the visible columns.
#include "app/traceview.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

#include "port/port.h"
#include "port/steppattern.h"

namespace app {

namespace {

constexpr int minimumTickSpacing = 80;  // px between time ticks
constexpr int leftMargin = 40;          // line names
constexpr int bottomMargin = 24;        // time axis
constexpr int rowPadding = 3;

const QColor background(16, 16, 24);
const QColor axisColor(170, 170, 170);
const QColor unknownColor(110, 110, 110);
const QColor stepColor(60, 60, 90);

QString lineName(int line)
{
    return QString::fromLatin1(port::lineNames[static_cast<std::size_t>(line)]);
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
    writes_ = std::move(writes);
    if (writes_.size() > capacity_)
        writes_.erase(writes_.begin(), writes_.end() - static_cast<std::ptrdiff_t>(capacity_));
    timeZero_ = oldest();
    rebuild();
    updateRange();
}

void TraceView::appendWrites(const std::vector<Write>& writes)
{
    if (writes.empty())
        return;
    if (writes_.empty())
        timeZero_ = writes.front().nanoseconds;
    writes_.insert(writes_.end(), writes.begin(), writes.end());
    if (writes_.size() > capacity_) {
        // The oldest writes fall out; their edges must go too.
        writes_.erase(writes_.begin(), writes_.end() - static_cast<std::ptrdiff_t>(capacity_));
        rebuild();
    } else {
        for (const Write& write : writes)
            take(write);
    }
    updateRange();
}

void TraceView::setCapacity(std::size_t capacity)
{
    capacity_ = std::max<std::size_t>(1, capacity);
    const std::int64_t timeZero = timeZero_;
    setWrites(std::move(writes_));
    timeZero_ = timeZero;
}

void TraceView::setTimeRange(std::int64_t begin, std::int64_t end)
{
    leaveFollowing();
    span_ = clampedSpan(end - begin);
    begin_ = origin() + begin;
    const std::int64_t low = oldest() - span_ / 2;
    const std::int64_t high = std::max(low, newest() - span_ / 2);
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
    if (writes_.empty())
        return {};
    if (lastData_) {
        const auto& pattern = port::stepPattern;
        for (std::size_t i = 0; i < pattern.size(); ++i) {
            if (pattern[i].data != lastData_->value)
                continue;
            // Between a step's data and control writes the control register
            // still holds the step before; the data byte already names the step.
            if (!lastControl_ || lastControl_->index < lastData_->index
                || lastControl_->value == pattern[i].control)
                return QStringLiteral("step %1 of %2").arg(i + 1).arg(port::stepsPerCycle);
        }
        if (lastData_->value == port::idleData
            && (!lastControl_ || lastControl_->value == port::idleControl))
            return QStringLiteral("idle");
    }
    const auto hex = [](const std::optional<Write>& write) {
        return write ? QStringLiteral("0x")
                + QString::number(write->value, 16).rightJustified(2, QLatin1Char('0')).toUpper()
                     : QStringLiteral("unknown");
    };
    return QStringLiteral("data %1, control %2").arg(hex(lastData_), hex(lastControl_));
}

QRect TraceView::plotRect() const
{
    return rect().adjusted(leftMargin, rowPadding, -8, -bottomMargin);
}

QRect TraceView::traceRect(int line) const
{
    const QRect plot = plotRect();
    const int rowHeight = plot.height() / lineCount;
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
    return QColor(80, 230, 120);
}

std::int64_t TraceView::tickStep(std::int64_t span, int width)
{
    const double least = static_cast<double>(std::max<std::int64_t>(span, 1))
        * minimumTickSpacing / std::max(1, width);
    std::int64_t decade = 1;
    while (true) {
        for (std::int64_t factor : {1, 2, 5}) {
            if (static_cast<double>(decade * factor) >= least)
                return decade * factor;
        }
        decade *= 10;
    }
}

QString TraceView::tickLabel(std::int64_t time, std::int64_t step)
{
    const bool ms = step >= 100'000;
    std::int64_t unit = ms ? 1'000'000 : 1'000;
    const double base = static_cast<double>(unit);
    int decimals = 0;
    while (step % unit != 0 && decimals < 3) {
        unit /= 10;
        ++decimals;
    }
    return QString::number(static_cast<double>(time) / base, 'f', decimals)
        + (ms ? QStringLiteral(" ms") : QStringLiteral(" µs"));
}

QSize TraceView::sizeHint() const { return {800, 400}; }
QSize TraceView::minimumSizeHint() const { return {300, 200}; }

void TraceView::followLive()
{
    following_ = true;
    autoSpan_ = true;
    updateRange();
}

void TraceView::paintEvent(QPaintEvent*)
{
    ++framesPainted_;
    QPainter painter(this);
    painter.fillRect(rect(), background);
    paintStep(painter);
    paintAxis(painter);
    for (int line = 0; line < lineCount; ++line) {
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

void TraceView::rebuild()
{
    traces_ = {};
    lastData_.reset();
    lastControl_.reset();
    lastCycleStart_.reset();
    previousCycleStart_.reset();
    for (const Write& write : writes_)
        take(write);
}

void TraceView::take(const Write& write)
{
    const auto change = [&](int line, bool level) {
        Trace& trace = traces_[static_cast<std::size_t>(line)];
        if (trace.edges.empty()) {
            trace.edges.push_back(write.nanoseconds);
            trace.firstLevel = level;
            trace.level = level;
        } else if (trace.level != level) {
            trace.edges.push_back(write.nanoseconds);
            trace.level = level;
        }
    };
    if (write.address == port::dataPort) {
        for (std::size_t line = 0; line < port::dataLineCount; ++line)
            change(static_cast<int>(line), port::isHigh(write.value, line));
        lastData_ = write;
        if (write.value == port::cycleStartData) {
            previousCycleStart_ = lastCycleStart_;
            lastCycleStart_ = write.nanoseconds;
        }
    } else if (write.address == port::controlPort) {
        change(controlLine, port::isHigh(write.value, port::controlLine));
        lastControl_ = write;
    }
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
        begin_ = newest() - span_;
    }
    update();
    emit viewChanged();
}

std::int64_t TraceView::oldest() const
{
    return writes_.empty() ? 0 : writes_.front().nanoseconds;
}

std::int64_t TraceView::newest() const
{
    return writes_.empty() ? 0 : writes_.back().nanoseconds;
}

std::int64_t TraceView::defaultSpan() const
{
    if (lastCycleStart_ && previousCycleStart_ && *lastCycleStart_ > *previousCycleStart_)
        return clampedSpan(2 * (*lastCycleStart_ - *previousCycleStart_));
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

std::int64_t TraceView::columnStart(int x) const
{
    const QRect plot = plotRect();
    return begin_ + static_cast<std::int64_t>(std::ceil(
        static_cast<double>(x - plot.left()) * static_cast<double>(span_) / std::max(1, plot.width())));
}

bool TraceView::stepUnderWay() const
{
    return lastData_.has_value();
}

void TraceView::paintAxis(QPainter& painter) const
{
    const QRect plot = plotRect();
    painter.setPen(axisColor);
    painter.drawLine(plot.left(), plot.bottom() + 1, plot.right(), plot.bottom() + 1);
    const std::int64_t step = tickStep(span_, plot.width());
    const std::int64_t first = begin_ - origin();
    std::int64_t tick = first >= 0 ? (first + step - 1) / step * step : -((-first) / step * step);
    const QFontMetrics metrics(painter.font());
    for (; tick <= first + span_; tick += step) {
        const int x = static_cast<int>(std::floor(xForTime(tick)));
        painter.drawLine(x, plot.bottom() + 1, x, plot.bottom() + 5);
        const QString label = tickLabel(tick, step);
        painter.drawText(x - metrics.horizontalAdvance(label) / 2, plot.bottom() + 6 + metrics.ascent(),
                         label);
    }
    for (int line = 0; line < lineCount; ++line) {
        const QRect row = traceRect(line);
        painter.drawText(QRect(0, row.top(), leftMargin - 4, row.height()),
                         Qt::AlignRight | Qt::AlignVCenter, lineName(line));
    }
}

void TraceView::paintStep(QPainter& painter) const
{
    if (!stepUnderWay())
        return;
    const QRect plot = plotRect();
    const double from = std::max<double>(plot.left(), xForAbsolute(lastData_->nanoseconds));
    if (from > plot.right())
        return;
    painter.fillRect(QRectF(from, plot.top(), plot.right() + 1 - from, plot.height()), stepColor);
}

void TraceView::paintUnknown(QPainter& painter, int line) const
{
    const Trace& trace = traces_[static_cast<std::size_t>(line)];
    const QRect row = traceRect(line);
    double until = row.right() + 1;
    if (!trace.edges.empty())
        until = std::min(until, xForAbsolute(trace.edges.front()));
    if (until <= row.left())
        return;
    const QRectF band(row.left(), row.top(), until - row.left(), row.height() + 1);
    painter.fillRect(band, QBrush(unknownColor, Qt::BDiagPattern));
}

void TraceView::paintTrace(QPainter& painter, int line) const
{
    const Trace& trace = traces_[static_cast<std::size_t>(line)];
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
    const int y = level ? high : low;
    painter.drawLine(xStart, y, plot.right(), y);
}

} // namespace app
