// A logic-analyzer view of recorded port writes: the eight data lines and
// control bit 1 over time, with a time axis and the step under way marked.
#ifndef APP_TRACEVIEW_H
#define APP_TRACEVIEW_H

#include <QColor>
#include <QWidget>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "port/steppattern.h"
#include "port/writerecord.h"

namespace app {

class TraceView : public QWidget
{
    Q_OBJECT

public:
    using Write = port::WriteRecord::Write;

    // Lines 0..7 are D0..D7, line 8 is C1.
    static constexpr int lineCount = static_cast<int>(port::lineCount);
    static constexpr int controlLine = static_cast<int>(port::controlLine);
    static constexpr std::int64_t minimumSpan = 1'000;          // ns
    static constexpr std::int64_t fallbackSpan = 10'000'000;    // ns, when no cycle is held

    // Times below are in ns relative to time 0: the first write held after
    // setWrites(), or the first one appended to an empty view. Time 0 stays
    // where it is when the oldest writes fall out of a full view, so the axis
    // of a paused view does not creep while a run goes on.
    struct TimeRange {
        std::int64_t begin;
        std::int64_t end;
    };

    explicit TraceView(QWidget* parent = nullptr);

    // writes must be oldest first; at most capacity() of the newest are kept.
    void setWrites(std::vector<Write> writes);
    void appendWrites(const std::vector<Write>& writes);
    const std::vector<Write>& writes() const { return writes_; }
    void setCapacity(std::size_t capacity);
    std::size_t capacity() const { return capacity_; }

    // An explicit range leaves follow mode; it is clamped to what is held.
    void setTimeRange(std::int64_t begin, std::int64_t end);
    TimeRange timeRange() const;
    bool following() const { return following_; }

    // "step N of 14", "idle", the raw register values when they match no
    // step, or empty when nothing is held.
    QString currentStepText() const;
    int framesPainted() const { return framesPainted_; }

    QRect plotRect() const;
    // top() is the y of a high level, bottom() the y of a low level.
    QRect traceRect(int line) const;
    double xForTime(std::int64_t time) const;
    double timeForX(double x) const;
    static QColor traceColor(int line);

    // A 1-2-5 tick step giving ticks at least minimumTickSpacing pixels apart.
    static std::int64_t tickStep(std::int64_t span, int width);
    // time as "1.5 ms" or "20 µs", with the decimals the step needs.
    static QString tickLabel(std::int64_t time, std::int64_t step);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

public slots:
    void followLive();

signals:
    void viewChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    // Times at which a line changes; edges.front() is its first write, when
    // it leaves unknown. Levels alternate after that, starting at firstLevel.
    struct Trace {
        std::vector<std::int64_t> edges;
        bool firstLevel = false;
        bool level = false;
    };

    void rebuild();
    void take(const Write& write);
    void leaveFollowing();
    void updateRange();
    std::int64_t origin() const { return timeZero_; }
    std::int64_t oldest() const;
    std::int64_t newest() const;
    std::int64_t defaultSpan() const;
    std::int64_t clampedSpan(std::int64_t span) const;
    double xForAbsolute(std::int64_t time) const;
    std::int64_t columnStart(int x) const;
    bool stepUnderWay() const;

    void paintAxis(QPainter& painter) const;
    void paintStep(QPainter& painter) const;
    void paintUnknown(QPainter& painter, int line) const;
    void paintTrace(QPainter& painter, int line) const;

    std::vector<Write> writes_;
    std::size_t capacity_ = port::WriteRecord::defaultCapacity;
    std::array<Trace, lineCount> traces_;
    std::optional<Write> lastData_;
    std::optional<Write> lastControl_;
    std::optional<std::int64_t> lastCycleStart_;
    std::optional<std::int64_t> previousCycleStart_;

    std::int64_t timeZero_ = 0;  // absolute, like the writes' times
    std::int64_t begin_ = 0;     // absolute
    std::int64_t span_ = fallbackSpan;
    bool following_ = true;
    bool autoSpan_ = true;  // until the operator zooms, follow two cycles

    bool dragging_ = false;
    int dragStartX_ = 0;
    std::int64_t dragStartBegin_ = 0;

    int framesPainted_ = 0;
};

} // namespace app

#endif
