// The step lateness of one rate of the timing self-test as a histogram: steps
// per lateness bin on logarithmic axes, with the median, the 99th percentile
// and the latest step marked and labelled.
#ifndef APP_SELFTEST_LATENESSHISTOGRAM_H
#define APP_SELFTEST_LATENESSHISTOGRAM_H

#include <QWidget>

#include <chrono>

#include "port/selftest/timingselftest.h"

namespace app::selftest {

class LatenessHistogram : public QWidget
{
    Q_OBJECT

public:
    explicit LatenessHistogram(QWidget* parent = nullptr);

    void setTiming(const port::selftest::RateTiming& timing);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // Where the painting puts things, in widget pixels.
    QRectF plotRect() const;
    QRectF barRect(std::size_t bin) const;  // empty for a bin with no steps
    double lateX(std::chrono::nanoseconds lateness) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    struct Mark {
        QString label;
        std::chrono::nanoseconds lateness;
        QColor color;
    };

    int topDecade() const;  // the y axis runs up to 10^topDecade steps
    double slotWidth() const;
    double slotX(double slot) const;
    double countY(double count) const;
    int leftMargin() const;
    int rightMargin() const;
    int topMargin() const;
    int bottomMargin() const;
    double minimumSlotWidth() const;
    int minimumPlotHeight() const;
    QList<Mark> marks() const;
    void paintAxes(QPainter& painter) const;
    void paintBars(QPainter& painter) const;
    void paintMarks(QPainter& painter) const;

    port::selftest::RateTiming timing_;
};

}  // namespace app::selftest

#endif
