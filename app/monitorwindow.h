// The monitor window: a live logic-analyzer view of the port writes with the
// current step, how much of the run is still held, and an export of the run
// as a value change dump.
#ifndef APP_MONITORWINDOW_H
#define APP_MONITORWINDOW_H

#include <QRect>
#include <QSize>
#include <QWidget>

#include <cstdint>
#include <functional>

#include "port/writerecord.h"

class QLabel;
class QPushButton;
class QTimer;

namespace app {

class FileDialog;
class MessageBox;
class TraceView;

class MonitorWindow : public QWidget
{
    Q_OBJECT

public:
    static constexpr int refreshInterval = 33;  // ms, about 30 frames per second
    // Smaller than this the traces are too cramped to read; beside the main
    // window the monitor shrinks to no less.
    static constexpr QSize minimumBesideSize{480, 320};
    // Now on the writes' clock (steady_clock), in ns.
    using Clock = std::function<std::int64_t()>;

    MonitorWindow(const port::WriteRecord& record, MessageBox& messageBox, FileDialog& fileDialog,
                  QWidget* parent = nullptr);

    TraceView* view() const { return view_; }
    // True while the record is being polled (only while the window is shown).
    bool polling() const;
    void setClock(Clock clock);

    // Shows the monitor where it leaves window's controls free: the first
    // time beside window, later where the operator left it.
    void showBeside(const QWidget& window);
    // The frame of the monitor beside mainFrame within available: to its
    // right when monitorSize fits there, else to its left, else below; when
    // it fits nowhere, shrunk into the roomiest of those, and only when
    // even that is too small, over the main window at the screen's top right.
    static QRect besideRect(QRect mainFrame, QSize monitorSize, QRect available);
    // path as a message shows it: the home folder as ~, and a long path as
    // its folder and file name.
    static QString shortPath(const QString& path, const QString& home);

public slots:
    // Takes the writes added since the last call and shows them.
    void refresh();
    void exportVcd();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QString suggestedExportPath() const;
    void rememberExportFolder(const QString& folder) const;

    const port::WriteRecord& record_;
    MessageBox& messageBox_;
    FileDialog& fileDialog_;
    Clock clock_;
    TraceView* view_;
    QLabel* currentStep_;
    QLabel* recordSpan_;
    QPushButton* follow_;
    QPushButton* export_;
    QTimer* timer_;
    std::uint64_t next_ = 0;
    bool placed_ = false;
    bool hiddenSinceRefresh_ = false;
};

} // namespace app

#endif
