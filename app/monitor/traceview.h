// A logic-analyzer view of recorded port writes: the eight data lines and
// control bit 1 over time, and the keep-alive on a port with one, with a time
// axis counted from RUN and the step under way marked.
#ifndef APP_MONITOR_TRACEVIEW_H
#define APP_MONITOR_TRACEVIEW_H

#include <QColor>
#include <QRect>
#include <QString>
#include <QWidget>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "app/monitor/tracemodel.h"
#include "port/pattern/steppattern.h"
#include "port/record/runmodel.h"
#include "port/record/writerecord.h"

namespace app::monitor {

class TraceView : public QWidget
{
    Q_OBJECT

public:
    using Write = port::record::WriteRecord::Write;
    using Run = port::record::RunModel::Run;

    // Lines 0..7 are D0..D7, line 8 is C1, then KA, the keep-alive, once shown.
    static constexpr int lineCount = static_cast<int>(port::pattern::lineCount);
    static constexpr int controlLine = static_cast<int>(port::pattern::controlLine);
    static constexpr int keepAliveLine = static_cast<int>(TraceModel::keepAliveLine);
    static constexpr std::int64_t minimumSpan = 1'000;          // ns
    static constexpr std::int64_t fallbackSpan = 10'000'000;    // ns, before a whole cycle is seen

    // Times below are in ns relative to time 0: the first write of the run
    // shown (or, with no run, the first write taken). Time 0 stays where it
    // is when the oldest writes fall out, so the axis never runs backwards;
    // it moves to a new run's first write while the view follows.
    struct TimeRange {
        std::int64_t begin;
        std::int64_t end;
    };

    struct AxisLabel {
        std::int64_t time;
        QString text;
        QRect rect;
    };

    explicit TraceView(QWidget* parent = nullptr);

    // As if the view had just been opened on these writes (oldest first); at
    // most capacity() of the newest are kept.
    void setWrites(std::vector<Write> writes);
    // The writes made since the last ones taken. When some were lost in
    // between (the writer outran the reader), these replace the held ones,
    // since levels must not be drawn as held across the gap; a run under way
    // goes on, and one that began in the gap has its start not seen.
    void appendWrites(const std::vector<Write>& writes);
    const std::vector<Write>& writes() const { return model_.writes(); }
    void setCapacity(std::size_t capacity);
    std::size_t capacity() const { return model_.capacity(); }
    // The keep-alive's writes, from its own record, as with setWrites and
    // appendWrites; either shows its line from then on.
    void setKeepAlive(std::vector<Write> toggles);
    void appendKeepAlive(const std::vector<Write>& toggles);
    const std::vector<Write>& keepAliveWrites() const { return model_.keepAliveWrites(); }
    bool keepAliveShown() const { return keepAliveShown_; }
    // The lines drawn: nine, and KA once shown.
    int rowCount() const { return lineCount + (keepAliveShown_ ? 1 : 0); }

    // Now, on the writes' clock: the last levels are drawn up to it, and a
    // following view ends there. Never before the newest write. Writes
    // appended after this call were made after nanoseconds; on a view that
    // holds none yet, the port was idle until then (nothing written).
    void setPresent(std::int64_t nanoseconds);
    std::int64_t present() const;

    // The run the newest writes belong to.
    const std::optional<Run>& run() const { return model_.runModel().run(); }
    // The held writes of that run, or all of them when none is held.
    std::vector<Write> runWrites() const { return model_.runWrites(); }

    // An explicit range leaves follow mode; it is clamped to what is held.
    void setTimeRange(std::int64_t begin, std::int64_t end);
    TimeRange timeRange() const;
    bool following() const { return following_; }

    // "step N of 14", "idle", the raw register values when they match no
    // step, or empty when nothing is held.
    QString currentStepText() const;
    // How much of the run is held: "the whole run, 3.2 s", "showing the
    // last 9.1 s of the run", ...
    QString recordSpanText() const;
    int framesPainted() const { return framesPainted_; }

    QRect plotRect() const;
    // top() is the y of a high level, bottom() the y of a low level.
    QRect traceRect(int line) const;
    double xForTime(std::int64_t time) const;
    double timeForX(double x) const;
    static QColor traceColor(int line);
    static QColor backgroundColor();

    // How long a stretch of the run is, on screen: two digits ("9.1 s").
    static constexpr int spanDigits = 2;

    // A 1-2-5 tick step giving ticks at least spacing pixels apart.
    static std::int64_t tickStep(std::int64_t span, int width, int spacing = minimumTickSpacing);
    // time as "1.5 ms" or "20 µs", in the unit of the larger of time and
    // step, with the decimals the step needs.
    static QString tickLabel(std::int64_t time, std::int64_t step);
    // The labels of the time axis as drawn: wide enough apart for their
    // text, none past the right edge of the plot.
    std::vector<AxisLabel> axisLabels() const;

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
    static constexpr int minimumTickSpacing = 80;  // px between time ticks

    void adoptOrigin();
    void leaveFollowing();
    void updateRange();
    std::int64_t origin() const { return origin_.value_or(0); }
    std::int64_t axisStep() const;
    std::vector<AxisLabel> axisLabels(std::int64_t step) const;
    std::int64_t oldest() const;
    std::int64_t newest() const;
    std::int64_t defaultSpan() const;
    std::int64_t clampedSpan(std::int64_t span) const;
    double xForAbsolute(std::int64_t time) const;
    double presentX() const;
    std::int64_t columnStart(int x) const;

    void paintAxis(QPainter& painter) const;
    void paintStep(QPainter& painter) const;
    void paintUnknown(QPainter& painter, int line) const;
    void paintTrace(QPainter& painter, int line) const;

    TraceModel model_;

    std::optional<std::int64_t> origin_;  // absolute, like the writes' times
    std::int64_t present_ = 0;            // absolute
    std::int64_t begin_ = 0;              // absolute
    std::int64_t span_ = fallbackSpan;
    bool following_ = true;
    bool autoSpan_ = true;  // until the operator zooms, follow two cycles
    bool keepAliveShown_ = false;

    bool dragging_ = false;
    int dragStartX_ = 0;
    std::int64_t dragStartBegin_ = 0;

    int framesPainted_ = 0;
};

}  // namespace app::monitor

#endif
