// The timing self-test's result for the operator: for each rate a histogram
// of step lateness and its figures in words, the timing a run would get and
// what it all means for a motor.
#ifndef APP_SELFTEST_SELFTESTDIALOG_H
#define APP_SELFTEST_SELFTESTDIALOG_H

#include <QDialog>

class QDialogButtonBox;
class QLabel;

namespace port::selftest {
struct RateTiming;
struct SelfTestResult;
}

namespace app::selftest {

class LatenessHistogram;

class SelfTestDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SelfTestDialog(QWidget* parent = nullptr);

    void showResult(const port::selftest::SelfTestResult& result);
    // A test that measured nothing worth drawing: text alone, in place of the
    // timing, the rates and the verdict.
    void showNotice(const QString& text);

    // "30 Hz: steps of 2.38 ms, 1,260 measured, the step thread using 1.80 % of a CPU"
    static QString rateText(double hertz, const port::selftest::RateTiming& timing);
    // "Half of the steps started within 0.03 µs, 99 % within 23.2 µs; the
    // longest stall was 1.83 ms." A share that started early is said so.
    static QString figuresText(const port::selftest::RateTiming& timing);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QLabel* createLabel(const QString& name);
    void showMeasurement(bool shown);
    void fitToContents();

    QLabel* timingLabel_;
    QLabel* slowTitleLabel_;
    LatenessHistogram* slowHistogram_;
    QLabel* slowFiguresLabel_;
    QLabel* fastTitleLabel_;
    LatenessHistogram* fastHistogram_;
    QLabel* fastFiguresLabel_;
    QLabel* verdictLabel_;
    QDialogButtonBox* buttonBox_;
};

}  // namespace app::selftest

#endif
