// The strip below the operator's area: which port is in use, what the run is
// doing as measured on the writes, and the buttons of the monitor and the
// timing self-test.
#ifndef APP_STATUSSTRIP_H
#define APP_STATUSSTRIP_H

#include <QWidget>

#include <chrono>
#include <cstdint>
#include <optional>

#include "port/sequencerstate.h"

class QLabel;
class QPushButton;

namespace app {

// What the strip shows of a run; read from the sequencer and the write record.
struct RunReadout {
    port::SequencerState state = port::SequencerState::Idle;
    bool afterRun = false;  // idle with the figures of the run that ended
    std::int64_t delayCount = 0;
    double definedFrequency = 0.0;  // Hz, from the passes each step makes
    std::optional<double> measuredFrequency;  // Hz, from the cycle starts written
    std::uint64_t cycles = 0;
    std::chrono::nanoseconds largestLateness{0};
};

class StatusStrip : public QWidget
{
    Q_OBJECT

public:
    static constexpr int stripHeight = 80;

    explicit StatusStrip(const QString& portDescription, QWidget* parent = nullptr);

    void showReadout(const RunReadout& readout);
    void showSelfTestRunning(std::chrono::nanoseconds duration);
    void showSelfTestEnded(const QString& line);
    void setSelfTestEnabled(bool enabled);
    // How the step thread keeps time: its priority, and whether it sleeps.
    void showTiming(const QString& text);

    static QString stateText(const RunReadout& readout);
    static QString figuresText(const RunReadout& readout);

signals:
    void monitorRequested();
    void selfTestRequested();

private:
    QLabel* portStatusLabel_;
    QLabel* timingLabel_;
    QLabel* runStateLabel_;
    QLabel* runFiguresLabel_;
    QPushButton* monitorButton_;
    QPushButton* selfTestButton_;
};

} // namespace app

#endif
