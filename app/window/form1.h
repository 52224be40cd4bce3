// The operator's window: the motor rating and the demanded operating point,
// Required Voltage, RUN, STOP and EXIT, shown over the console they drive.
#ifndef APP_WINDOW_FORM1_H
#define APP_WINDOW_FORM1_H

#include <QWidget>

#include <chrono>
#include <map>

#include "app/console/operatorconsole.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace port::backend {
class Module1;
}
namespace port::record {
class WriteRecord;
}
namespace port::selftest {
struct SelfTestResult;
}

namespace app::monitor {
class MonitorWindow;
}
namespace app::selftest {
class SelfTestDialog;
class SelfTestRunner;
}

namespace app::window {

class FileDialog;
class StatusStrip;

class Form1 : public QWidget
{
    Q_OBJECT

public:
    // The title of message boxes that bring none of their own.
    static const char* const applicationTitle;

    // record holds the writes that module makes; portDescription says which
    // port is in use and, for a stand-in, why. stepSetup asks for the step
    // thread's priority (empty: normal priority); the timing self-test asks
    // the same way.
    Form1(console::MessageBox& messageBox, FileDialog& fileDialog, port::backend::Module1& module,
          const port::record::WriteRecord& record, const QString& portDescription,
          port::run::StepThreadSetup stepSetup = {}, QWidget* parent = nullptr);
    ~Form1() override;

    // What the window shows: the fields, their checks, Required Voltage and
    // run control, without a widget. It tells through messageBox.
    console::OperatorConsole& console() const { return *console_; }
    const drive::HeldValues& heldValues() const { return console_->heldValues(); }
    // The line RUN printed last; it stays on the window until the next print.
    QString printedLine() const { return console_->printedLine(); }

    // How long the timing self-test measures (a few seconds by default).
    void setSelfTestDuration(std::chrono::nanoseconds duration) { selfTestDuration_ = duration; }
    bool readoutPolling() const;
    monitor::MonitorWindow* monitor() const { return monitor_; }
    // The keep-alive's own record, on a port with one, for the monitor to
    // show beside the pattern's lines; it must outlive the window.
    void setKeepAliveRecord(const port::record::WriteRecord& record) { keepAliveRecord_ = &record; }

    // Adds row below the strip, height pixels high, growing the window: for
    // a part of the program the window itself knows nothing of.
    void addStripRow(QWidget* row, int rowHeight);

signals:
    // The operator pressed STOP (the button or F12).
    void stopPressed();

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

    void showText(int number, const QString& text);
    void cutSelfTestShort();
    void showRunState(port::run::SequencerState state);
    void openMonitor();
    void startTimingSelfTest();
    void showTimingSelfTest(const port::selftest::SelfTestResult& result);

private:
    void createControls();
    void connectHandlers();
    void installStopKey();
    void chooseFont();
    void Form_Load();

    // Controls by the number in their names: field(6) is Text6.
    QLineEdit* field(int number) const { return fields_.at(number); }
    QPushButton* command(int number) const { return commands_.at(number); }

    void typed(int number);
    void checkPowerFactorWhenFree();
    void postPowerFactorCheck();
    selftest::SelfTestDialog* selfTestDialog();
    void presentSelfTestDialog(selftest::SelfTestDialog* dialog);

    FileDialog& fileDialog_;
    const port::record::WriteRecord& record_;
    const port::record::WriteRecord* keepAliveRecord_ = nullptr;
    console::OperatorConsole* console_ = nullptr;
    int echoed_ = 0;  // the field whose typed text the console is taking

    std::map<int, QLineEdit*> fields_;
    std::map<int, QPushButton*> commands_;
    std::map<int, QLabel*> labels_;
    StatusStrip* statusStrip_ = nullptr;
    int stripHeight_ = 0;
    monitor::MonitorWindow* monitor_ = nullptr;

    std::chrono::nanoseconds selfTestDuration_;
    selftest::SelfTestRunner* selfTest_ = nullptr;
    bool selfTestCutShort_ = false;  // by RUN: the dialog says so

    // Leaving P.F. checks it once the click that moved the focus is over and
    // the boxes that click opened are closed.
    enum class PendingCheck { None, ClickUnderWay, Due };
    PendingCheck powerFactorCheck_ = PendingCheck::None;
    bool powerFactorCheckPosted_ = false;
};

}  // namespace app::window

#endif
