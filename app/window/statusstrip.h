// The strip below the operator's area: which port is in use, what the run is
// doing as measured on the writes, how Required Voltage read the fields, and
// the buttons of the monitor and the timing self-test.
#ifndef APP_WINDOW_STATUSSTRIP_H
#define APP_WINDOW_STATUSSTRIP_H

#include <QWidget>

#include <chrono>
#include <cstdint>
#include <optional>

#include "port/run/runcontrol.h"
#include "port/run/threadpinning.h"

class QLabel;
class QPushButton;

namespace port::selftest {
struct SelfTestResult;
}

namespace app::window {

class StatusStrip : public QWidget
{
    Q_OBJECT

public:
    static constexpr int stripHeight = 96;

    explicit StatusStrip(const QString& portDescription, QWidget* parent = nullptr);

    // While a self-test measures, its line stays: a readout of the idle
    // port (STOP with no run) does not replace it; a run that starts does.
    void showReadout(const port::run::RunReadout& readout);
    void showSelfTestRunning(std::chrono::nanoseconds duration);
    void showSelfTestEnded(const QString& line);
    void setSelfTestEnabled(bool enabled);
    // How Required Voltage read fields whose text held more than a number:
    // "V/f read as 7 from '7,6x'"; empty when every field read cleanly.
    void showFieldReading(const QString& note);
    // How the step thread keeps time: its priority, and whether it sleeps;
    // and whether another program's step thread shares its CPU.
    void showTiming(const QString& text);
    void showStepCpu(const port::run::StepCpuClaim& claim);
    static QString stepCpuText(const port::run::StepCpuClaim& claim);

    static QString stateText(const port::run::RunReadout& readout);
    static QString figuresText(const port::run::RunReadout& readout);
    // Why the last run ended at once without STOP, or empty: "Stopped: the
    // window did not answer for 3.2 s".
    static QString endCauseText(const port::run::RunReadout& readout);
    // "250 ms", "12.4 s", "3.50 min", "292 years": how long a wait is, as
    // every duration on screen reads (durationText).
    static QString waitText(std::chrono::nanoseconds wait);
    // The self-test's figures in one line: p99 at each rate, the longest stall.
    static QString selfTestText(const port::selftest::SelfTestResult& result);

    // A row below the others, for a part of the program the strip itself
    // knows nothing of.
    void addRow(QWidget* row);

signals:
    void monitorRequested();
    void selfTestRequested();

private:
    QLabel* portStatusLabel_;
    QLabel* timingLabel_;
    QLabel* runStateLabel_;
    QLabel* runFiguresLabel_;
    QLabel* fieldReadingLabel_;
    QPushButton* monitorButton_;
    QPushButton* selfTestButton_;
    bool selfTestShown_ = false;
    QString timingText_;
    QString stepCpuText_;
};

}  // namespace app::window

#endif
