// The monitor window: a live logic-analyzer view of the port writes (and of
// the keep-alive, on a port with one) with the current step, how much of the
// run is still held, and an export of the run as a value change dump,
// written on a thread of its own.
#ifndef APP_MONITOR_MONITORWINDOW_H
#define APP_MONITOR_MONITORWINDOW_H

#include <QRect>
#include <QSize>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "port/record/vcdexport.h"
#include "port/record/writerecord.h"

class QLabel;
class QPushButton;
class QTimer;

namespace app::window {
class FileDialog;
}

namespace app::monitor {

class TraceView;

class MonitorWindow : public QWidget
{
    Q_OBJECT

public:
    static constexpr int refreshInterval = 33;  // ms, about 30 frames per second
    // Smaller than this the traces are too cramped to read: the monitor is
    // never made smaller, and beside the main window it shrinks to no less.
    static constexpr QSize leastSize{360, 300};
    // Now on the writes' clock (steady_clock), in ns.
    using Clock = std::function<std::int64_t()>;

    // What writing a dump to a file came to.
    struct SavedDump {
        port::record::VcdSummary summary;  // written only when the file holds it whole
        QString error;             // the system's reason when it does not
        bool fileWasThere = false; // and is then as it was
    };
    // Writes writes to path as a dump, whole or not at all, with the
    // keep-alive's line when keepAlive is given; runs on the export's
    // thread, and reports through progress as it goes.
    using DumpSaver = std::function<SavedDump(const QString& path, const std::vector<port::record::WriteRecord::Write>& writes,
                                              const std::string& comment, const port::record::VcdProgress& progress,
                                              const std::vector<port::record::WriteRecord::Write>* keepAlive)>;

    MonitorWindow(const port::record::WriteRecord& record, window::FileDialog& fileDialog, QWidget* parent = nullptr);
    // Waits for no export: one under way writes on, and its outcome goes nowhere.
    ~MonitorWindow() override;

    TraceView* view() const { return view_; }
    // True while the record is being polled (only while the window is shown).
    bool polling() const;
    void setClock(Clock clock);
    // From exportVcd() until its outcome is shown.
    bool exporting() const { return export_ != nullptr; }
    // How dumps are written; saveDump unless a test puts a slower one in.
    void setDumpSaver(DumpSaver saver);
    // Through QSaveFile: a temporary file beside path, put in its place only
    // once complete, so that a failure leaves whatever was at path untouched.
    static SavedDump saveDump(const QString& path, const std::vector<port::record::WriteRecord::Write>& writes,
                              const std::string& comment, const port::record::VcdProgress& progress,
                              const std::vector<port::record::WriteRecord::Write>* keepAlive = nullptr);
    // The keep-alive's own record (RecordedPort::keepAliveRecord), which
    // must outlive the monitor: its line is shown and exported from now on.
    void setKeepAliveRecord(const port::record::WriteRecord& record);

    // Shows the monitor where it leaves window's controls free: the first
    // time beside window (shrunk to no less than leastSize where it must),
    // later where the operator left it.
    void showBeside(const QWidget& window);
    // path as a message shows it: the home folder as ~, and a long path as
    // its folder and file name.
    static QString shortPath(const QString& path, const QString& home);

public slots:
    // Takes the writes added since the last call and shows them.
    void refresh();
    // Asks where to, then writes the run being shown on a thread of its own;
    // progress and the outcome show in the line beside Export.
    void exportVcd();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    struct ExportLink;

    QString suggestedExportPath() const;
    void rememberExportFolder(const QString& folder) const;
    void showExportProgress(const std::shared_ptr<ExportLink>& link, int percent);
    void finishExport(const std::shared_ptr<ExportLink>& link, const SavedDump& saved);

    const port::record::WriteRecord& record_;
    const port::record::WriteRecord* keepAlive_ = nullptr;
    std::uint64_t keepAliveNext_ = 0;
    window::FileDialog& fileDialog_;
    Clock clock_;
    DumpSaver dumpSaver_;
    TraceView* view_;
    QLabel* currentStep_;
    QLabel* recordSpan_;
    QLabel* exportNote_;
    QPushButton* follow_;
    QPushButton* exportButton_;
    QTimer* timer_;
    std::shared_ptr<ExportLink> export_;  // to the export under way; null when none is
    std::uint64_t next_ = 0;
    bool placed_ = false;
    bool hiddenSinceRefresh_ = false;
};

}  // namespace app::monitor

#endif
