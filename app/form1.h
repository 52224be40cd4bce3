// The operator's window: the motor rating and the demanded operating point,
// Required Voltage, RUN, STOP and EXIT.
#ifndef APP_FORM1_H
#define APP_FORM1_H

#include <QWidget>

#include <chrono>
#include <memory>

#include "drive/setpoint.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace port {
class Module1;
template <class Clock> class BasicSequencer;
enum class SequencerState;
}

namespace app {

class MessageBox;
class SequencerAdapter;

class Form1 : public QWidget
{
    Q_OBJECT

public:
    // The title of message boxes that bring none of their own.
    static const char* const applicationTitle;

    // portDescription says which port is in use and, for a stand-in, why.
    Form1(MessageBox& messageBox, port::Module1& module, const QString& portDescription,
          QWidget* parent = nullptr);
    ~Form1() override;

    const drive::HeldValues& heldValues() const { return held_; }
    // The line RUN printed last; it stays on the window until the next print.
    QString printedLine() const { return printedLine_; }

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

private:
    void createControls();
    void createStatusStrip(const QString& portDescription);
    void connectHandlers();
    void chooseFont();
    void Form_Load();

    void runPoleSpeedChecks();
    void showMessage(const QString& prompt, const QString& title = {});
    void print(const QString& line);

    MessageBox& messageBox_;
    drive::HeldValues held_;
    QString printedLine_;

    QLineEdit* text_[10] = {};     // Text1 .. Text10, text_[0] is Text1
    QPushButton* command_[7] = {}; // Command1 .. Command7
    QLabel* label_[11] = {};       // Label1 .. Label11
    QLabel* portStatusLabel_ = nullptr;
    QLabel* runStateLabel_ = nullptr;

    SequencerAdapter* adapter_ = nullptr;
    // Declared last: destroyed first, so its thread has ended before anything it calls into.
    std::unique_ptr<port::BasicSequencer<std::chrono::steady_clock>> sequencer_;
};

} // namespace app

#endif
