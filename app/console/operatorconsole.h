// The operator's console without a screen: the fields as texts and their
// readings, the checks on them and their verdicts, Required Voltage and the
// values it holds, RUN and STOP over run control, and the printed line. The
// window shows it and the remote adapter drives it; QtCore only, so that a
// program with no window has all of it.
#ifndef APP_CONSOLE_OPERATORCONSOLE_H
#define APP_CONSOLE_OPERATORCONSOLE_H

#include <QObject>
#include <QString>

#include <array>

#include "drive/setpoint/setpoint.h"
#include "port/run/runcontrol.h"

namespace app::console {

enum class Check;
class MessageBox;
class RunAdapter;

class OperatorConsole : public QObject
{
    Q_OBJECT

public:
    // The fields by the number in their window names: Text1 to Text10.
    static constexpr int fieldCount = 10;
    // The title of message boxes that bring none of their own.
    static constexpr const char* applicationTitle = QT_TRANSLATE_NOOP("Form1", "Frequency Converter");

    // Tells what its checks say through messageBox, which must outlive it.
    // record holds the writes that module makes; stepSetup asks for the
    // step thread's priority (empty: normal priority).
    OperatorConsole(MessageBox& messageBox, port::backend::Module1& module, const port::record::WriteRecord& record,
                    port::run::StepThreadSetup stepSetup = {}, QObject* parent = nullptr);
    ~OperatorConsole() override;

    QString text(int number) const { return texts_.at(number); }
    // The number a field's text reads as, as Required Voltage reads it.
    double reading(int number) const;
    // "V/f read as 7 from '7,6x'" for each field Required Voltage reads whose
    // text held more than the number it gave; empty when every one read cleanly.
    QString readingNote() const;
    const drive::HeldValues& heldValues() const { return held_; }
    // The line RUN printed last; it stays until the next print.
    QString printedLine() const { return printedLine_; }
    RunAdapter& runs() const { return *runs_; }

    // A field's text changed as typed: its check runs at once, as at every
    // altering keystroke. Unchanged, nothing happens.
    void setText(int number, const QString& text);
    // The program puts a text into a field (a result, the 0 of RUN, what a
    // remote client sends): a change as any other, and shown from its first
    // character even when the text is the one already there.
    void fill(int number, const QString& text);
    // Leaving P.F. checks it.
    void checkPowerFactor();
    void requiredVoltage();
    void run();
    void stop();
    // The way out: a run alive ends at once with the idle pair.
    void shutDown();

signals:
    // Typed or filled; also a fill that left the text as it was.
    void textChanged(int number, const QString& text);
    void printed(const QString& line);
    // Required Voltage's reading note, said before any box of its verdict.
    void readingNoted(const QString& note);
    // RUN, before run control takes it: a timing self-test still measuring
    // is cut short now, and the run starts once it has ended.
    void aboutToRun();
    // RUN, once run control has it.
    void runPressed();
    void stopPressed();
    void runStateChanged(port::run::SequencerState state);
    void portErrorOccurred(const QString& line);

private:
    void checkPower();
    void checkPoleSpeeds();
    void checkDemandSpeed();
    void print(const QString& line);
    void showMessage(Check check);
    void showMessage(const QString& prompt, const QString& title);
    void reportPortError(const QString& line);

    MessageBox& messageBox_;
    std::array<QString, fieldCount + 1> texts_;  // by number; [0] unused
    drive::HeldValues held_;
    QString printedLine_;
    RunAdapter* runs_;
};

}  // namespace app::console

#endif  // APP_CONSOLE_OPERATORCONSOLE_H
