// The monitor window: a live logic-analyzer view of the port writes with the
// current step and an export of the held writes as a value change dump.
#ifndef APP_MONITORWINDOW_H
#define APP_MONITORWINDOW_H

#include <QWidget>

#include <cstdint>

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

    MonitorWindow(const port::WriteRecord& record, MessageBox& messageBox, FileDialog& fileDialog,
                  QWidget* parent = nullptr);

    TraceView* view() const { return view_; }
    // True while the record is being polled (only while the window is shown).
    bool polling() const;

public slots:
    // Takes the writes added since the last call and shows them.
    void refresh();
    void exportVcd();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    const port::WriteRecord& record_;
    MessageBox& messageBox_;
    FileDialog& fileDialog_;
    TraceView* view_;
    QLabel* currentStep_;
    QPushButton* follow_;
    QPushButton* export_;
    QTimer* timer_;
    std::uint64_t next_ = 0;
};

} // namespace app

#endif
