// The operator's window: the motor rating and the demanded operating point,
// Required Voltage, RUN, STOP and EXIT.
#ifndef APP_FORM1_H
#define APP_FORM1_H

#include <QWidget>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

#include "drive/setpoint.h"
#include "port/frequencymeter.h"
#include "port/sequencer.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace port {
class Module1;
class WriteRecord;
struct SelfTestResult;
}

namespace app {

class FileDialog;
class MessageBox;
class MonitorWindow;
class SequencerAdapter;
class StatusStrip;

class Form1 : public QWidget
{
    Q_OBJECT

public:
    // The title of message boxes that bring none of their own.
    static const char* const applicationTitle;

    // record holds the writes that module makes; portDescription says which
    // port is in use and, for a stand-in, why.
    // stepSetup asks for the step thread's priority (empty: normal priority);
    // the timing self-test asks the same way.
    Form1(MessageBox& messageBox, FileDialog& fileDialog, port::Module1& module,
          const port::WriteRecord& record, const QString& portDescription,
          port::StepThreadSetup stepSetup = {}, QWidget* parent = nullptr);
    ~Form1() override;

    const drive::HeldValues& heldValues() const { return held_; }
    // The line RUN printed last; it stays on the window until the next print.
    QString printedLine() const { return printedLine_; }

    // How long the timing self-test measures (a few seconds by default).
    void setSelfTestDuration(std::chrono::nanoseconds duration) { selfTestDuration_ = duration; }
    bool readoutPolling() const;
    MonitorWindow* monitor() const { return monitor_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private slots:
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command4_Click();
    void Text3_Change();
    void Text4_LostFocus();
    void Text6_Change();
    void Text7_Change();

    void showRunState(port::SequencerState state);
    void reportPortError(const QString& line);
    void refreshReadout();
    void openMonitor();
    void startTimingSelfTest();

private:
    void createControls();
    void connectHandlers();
    void chooseFont();
    void Form_Load();

    void runPoleSpeedChecks();
    void showMessage(const QString& prompt, const QString& title = {});
    void print(const QString& line);
    void showTimingSelfTest(const port::SelfTestResult& result);
    void cancelTimingSelfTest();

    MessageBox& messageBox_;
    FileDialog& fileDialog_;
    const port::WriteRecord& record_;
    drive::HeldValues held_;
    QString printedLine_;

    QLineEdit* text_[10] = {};     // Text1 .. Text10, text_[0] is Text1
    QPushButton* command_[7] = {}; // Command1 .. Command7
    QLabel* label_[11] = {};       // Label1 .. Label11
    StatusStrip* statusStrip_ = nullptr;
    MonitorWindow* monitor_ = nullptr;

    // The readout is polled only while a run is alive.
    QTimer* readoutTimer_ = nullptr;
    port::FrequencyMeter meter_;
    std::uint64_t recordNext_ = 0;
    bool ranOnce_ = false;

    port::StepThreadSetup stepSetup_;
    std::chrono::nanoseconds selfTestDuration_;
    std::atomic<bool> cancelSelfTest_{false};
    std::thread selfTestThread_;

    SequencerAdapter* adapter_ = nullptr;
    // Declared last: destroyed first, so its thread has ended before anything it calls into.
    std::unique_ptr<port::Sequencer> sequencer_;
};

} // namespace app

#endif
