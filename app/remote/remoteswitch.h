// The operator's switch of remote control, a row below the strip: off at
// start; "Remote control: on (127.0.0.1:1502)" once the operator turns it
// on, "Remote control: on, controlled by 127.0.0.1:41234" while a client is
// in control; beside it a latched trip, with the operator's way to clear it,
// or who stopped the last run; then what a remote request last met. It
// follows the remote console, and turns remote control on and off there.
#ifndef APP_REMOTE_REMOTESWITCH_H
#define APP_REMOTE_REMOTESWITCH_H

#include <QWidget>

class QCheckBox;
class QLabel;
class QPushButton;

namespace app::remote {

class RemoteConsole;

class RemoteSwitch : public QWidget
{
    Q_OBJECT

public:
    static constexpr int rowHeight = 22;

    // For the window's strip (Form1::addStripRow). It may outlive console:
    // what ties them ends with console.
    explicit RemoteSwitch(RemoteConsole& console, QWidget* parent = nullptr);

    // The address the server listens on.
    void setWhere(const QString& where);
    bool isOn() const;
    void setOn(bool on);
    // The client in control, empty for none.
    void showController(const QString& who);
    // A latched trip (tripLatched), or who stopped the last run.
    void showStop(const QString& text, bool tripLatched);
    void showNote(const QString& note);

private:
    void showState();

    QCheckBox* box_;
    QLabel* stop_;
    QPushButton* clearTrip_;
    QLabel* note_;
    QString where_;
    QString controller_;
};

}  // namespace app::remote

#endif  // APP_REMOTE_REMOTESWITCH_H
