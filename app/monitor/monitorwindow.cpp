// The monitor: the traces and their lines of text, where the window opens,
// and the VCD export, whose writing runs on a std::thread so that a slow or
// hung file system never holds the window (a window that stops answering
// ends a run).
#include "app/monitor/monitorwindow.h"

#include "app/text/durationtext.h"
#include "app/window/placement.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaObject>
#include <QPushButton>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>
#include <QVBoxLayout>

#include <array>
#include <chrono>
#include <mutex>
#include <optional>
#include <ostream>
#include <streambuf>
#include <system_error>
#include <thread>
#include <vector>

#include "app/monitor/traceview.h"
#include "app/window/filedialog.h"
#include "port/record/runmodel.h"

namespace app::monitor {

namespace {

const QString exportFolderKey = QStringLiteral("monitor/exportFolder");
const QString exportFileName = QStringLiteral("frequency-converter.vcd");
constexpr qsizetype longestPathShown = 40;  // characters

std::int64_t steadyNow()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The program names itself but no organization; its settings then go under
// its own name rather than nowhere.
QString settingsOrganization()
{
    const QString organization = QCoreApplication::organizationName();
    return organization.isEmpty() ? QCoreApplication::applicationName() : organization;
}

// 1234567 as "1 234 567", with no-break spaces so that a message never
// wraps inside a number.
QString groupedCount(std::uint64_t count)
{
    QString digits = QString::number(count);
    for (qsizetype at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, QChar(0x00A0));
    return digits;
}

QString changesText(std::uint64_t count)
{
    return count == 1 ? MonitorWindow::tr("1 change")
                      : MonitorWindow::tr("%1 changes").arg(groupedCount(count));
}

// The dump's bytes into a Qt device. writeVcd hands over blocks of 64 KiB,
// so every block goes straight to the device; a short write fails the
// stream, and the device keeps the reason.
class DeviceBuffer : public std::streambuf
{
public:
    explicit DeviceBuffer(QIODevice& device) : device_(device) {}

protected:
    std::streamsize xsputn(const char* data, std::streamsize count) override
    {
        const qint64 written = device_.write(data, count);
        return written < 0 ? 0 : static_cast<std::streamsize>(written);
    }

    int_type overflow(int_type c) override
    {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        const char byte = traits_type::to_char_type(c);
        return device_.write(&byte, 1) == 1 ? c : traits_type::eof();
    }

private:
    QIODevice& device_;
};

} // namespace

// Between the window and an export's thread. The thread reaches the window
// only through window, under mutex, and only to post to it; the destructor
// clears window under the same mutex, so it waits at most for one post.
// The rest is the window's alone, set before the thread starts.
struct MonitorWindow::ExportLink {
    std::mutex mutex;
    MonitorWindow* window = nullptr;  // guarded by mutex; null once the window is gone

    QString path;
    bool inRun = false;     // the writes are a run's
    // How much of the run lies before the file's first write.
    port::record::RunModel::Lost lost;

    // Queued to the window's thread; dropped by Qt with the window if it goes first.
    template <typename Call>
    static void post(const std::shared_ptr<ExportLink>& link, Call call)
    {
        std::lock_guard lock(link->mutex);
        if (MonitorWindow* window = link->window)
            QMetaObject::invokeMethod(
                window, [window, link, call] { call(*window, link); }, Qt::QueuedConnection);
    }
};

MonitorWindow::MonitorWindow(const port::record::WriteRecord& record, window::FileDialog& fileDialog, QWidget* parent)
    : QWidget(parent, Qt::Window),
      record_(record),
      fileDialog_(fileDialog),
      clock_(steadyNow),
      dumpSaver_(saveDump),
      view_(new TraceView(this)),
      currentStep_(new QLabel(this)),
      recordSpan_(new QLabel(this)),
      exportNote_(new QLabel(this)),
      follow_(new QPushButton(tr("&Follow"), this)),
      exportButton_(new QPushButton(tr("&Export VCD…"), this)),
      timer_(new QTimer(this))
{
    setObjectName(QStringLiteral("Monitor"));
    setWindowTitle(tr("Monitor"));
    view_->setObjectName(QStringLiteral("TraceView"));
    view_->setCapacity(record.capacity());
    currentStep_->setObjectName(QStringLiteral("CurrentStep"));
    // Wide enough for the longest step text, so the span beside it stays put.
    currentStep_->setMinimumWidth(
        currentStep_->fontMetrics().horizontalAdvance(QStringLiteral("data 0x00, control 0x00  ")));
    recordSpan_->setObjectName(QStringLiteral("RecordSpan"));
    recordSpan_->setWordWrap(true);
    exportNote_->setObjectName(QStringLiteral("ExportNote"));
    exportNote_->setWordWrap(true);
    // Paths and the system's reasons are text, whatever they hold.
    exportNote_->setTextFormat(Qt::PlainText);
    exportNote_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    follow_->setObjectName(QStringLiteral("FollowLive"));
    exportButton_->setObjectName(QStringLiteral("ExportVcd"));
    timer_->setObjectName(QStringLiteral("RefreshTimer"));
    timer_->setInterval(refreshInterval);

    auto* status = new QHBoxLayout;
    status->addWidget(currentStep_);
    status->addWidget(recordSpan_, 1);
    auto* actions = new QHBoxLayout;
    actions->addWidget(exportNote_, 1);
    actions->addWidget(follow_);
    actions->addWidget(exportButton_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(view_, 1);
    layout->addLayout(status);
    layout->addLayout(actions);

    connect(timer_, &QTimer::timeout, this, &MonitorWindow::refresh);
    connect(follow_, &QPushButton::clicked, view_, &TraceView::followLive);
    connect(exportButton_, &QPushButton::clicked, this, &MonitorWindow::exportVcd);
}

MonitorWindow::~MonitorWindow()
{
    if (!export_)
        return;
    std::lock_guard lock(export_->mutex);
    export_->window = nullptr;
}

bool MonitorWindow::polling() const
{
    return timer_->isActive();
}

void MonitorWindow::setClock(Clock clock)
{
    clock_ = std::move(clock);
}

void MonitorWindow::setDumpSaver(DumpSaver saver)
{
    dumpSaver_ = std::move(saver);
}

void MonitorWindow::setKeepAliveRecord(const port::record::WriteRecord& record)
{
    keepAlive_ = &record;
    keepAliveNext_ = 0;
    view_->setKeepAlive(record.since(0, view_->capacity(), keepAliveNext_));
}

void MonitorWindow::showBeside(const QWidget& window)
{
    if (!placed_) {
        window::placeBeside(*this, window, window.frameGeometry(), leastSize);
        placed_ = true;
    }
    show();
}

QString MonitorWindow::shortPath(const QString& path, const QString& home)
{
    QString shown = QDir::cleanPath(path);
    const QString cleanHome = QDir::cleanPath(home);
    if (!home.isEmpty() && cleanHome != QStringLiteral("/") && shown.startsWith(cleanHome + QLatin1Char('/')))
        shown = QLatin1Char('~') + shown.mid(cleanHome.size());
    const QStringList parts = shown.split(QLatin1Char('/'));
    if (shown.size() > longestPathShown && parts.size() > 3)
        shown = QStringLiteral("…/") + parts[parts.size() - 2] + QLatin1Char('/') + parts.last();
    return QDir::toNativeSeparators(shown);
}

void MonitorWindow::refresh()
{
    // Read before the record, so that every write not in this read was
    // made after now.
    const std::int64_t now = clock_();
    std::uint64_t next = next_;
    auto writes = record_.since(next_, record_.capacity(), next);
    const bool lost = !writes.empty() && writes.front().index != next_;
    // Writes lost while the window was hidden were not watched at all: what
    // the port did then is not known. Lost while watching, the writer only
    // outran this reader (at full speed it always does).
    if (lost && hiddenSinceRefresh_)
        view_->setWrites(std::move(writes));
    else
        view_->appendWrites(writes);
    if (keepAlive_) {
        auto toggles = keepAlive_->since(keepAliveNext_, view_->capacity(), keepAliveNext_);
        if (lost && hiddenSinceRefresh_)
            view_->setKeepAlive(std::move(toggles));
        else
            view_->appendKeepAlive(toggles);
    }
    hiddenSinceRefresh_ = false;
    next_ = next;
    view_->setPresent(now);
    currentStep_->setText(view_->currentStepText());
    recordSpan_->setText(view_->recordSpanText());
}

void MonitorWindow::exportVcd()
{
    if (exporting())
        return;
    const QString path =
        fileDialog_.saveFileName(tr("Export VCD"), suggestedExportPath(), tr("Value change dump (*.vcd)"));
    if (path.isEmpty())
        return;

    refresh();
    auto link = std::make_shared<ExportLink>();
    link->window = this;
    link->path = path;
    std::vector<port::record::WriteRecord::Write> writes = view_->runWrites();
    const std::optional<TraceView::Run> run = view_->run();
    link->inRun = run.has_value();
    if (run && !writes.empty())
        link->lost = run->lostBefore(writes.front());

    std::string comment = "frequency converter port writes";
    if (link->lost.startHeld)
        comment += "; time 0 is RUN";
    else if (link->lost.missing)
        comment += "; time 0 is " + std::to_string(*link->lost.missing) + " ns after RUN";
    else if (link->lost.missingAtMost)
        comment += "; time 0 is at most " + std::to_string(*link->lost.missingAtMost) + " ns after RUN";
    else if (run)
        comment += "; the start of the run was not seen";
    std::optional<std::vector<port::record::WriteRecord::Write>> keepAlive;
    if (keepAlive_) {
        keepAlive = view_->keepAliveWrites();
        comment += "; KA is the keep-alive's bit as written";
    }

    export_ = link;
    exportButton_->setEnabled(false);
    exportNote_->setText(tr("Exporting… %1 %").arg(0));
    // A std::thread, not Qt's global thread pool: a hung file system can
    // hold the writing for as long as it likes, and Qt's raster engine waits
    // on that pool while it paints. Nothing waits for this thread; it holds
    // its own copy of everything it uses.
    try {
        std::thread([link, saver = dumpSaver_, writes = std::move(writes), keepAlive = std::move(keepAlive), comment] {
            int shown = 0;
            const auto progress = [&link, &shown](std::size_t done, std::size_t total) {
                const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
                if (percent <= shown)
                    return;
                shown = percent;
                ExportLink::post(link, [percent](MonitorWindow& window, const std::shared_ptr<ExportLink>& from) {
                    window.showExportProgress(from, percent);
                });
            };
            const SavedDump saved = saver(link->path, writes, comment, progress, keepAlive ? &*keepAlive : nullptr);
            ExportLink::post(link, [saved](MonitorWindow& window, const std::shared_ptr<ExportLink>& from) {
                window.finishExport(from, saved);
            });
        }).detach();
    } catch (const std::system_error& error) {
        SavedDump saved;
        saved.error = tr("starting the export's thread failed (%1); close other programs and export again")
                          .arg(QString::fromLocal8Bit(error.what()));
        finishExport(link, saved);
    }
}

MonitorWindow::SavedDump MonitorWindow::saveDump(const QString& path,
                                                 const std::vector<port::record::WriteRecord::Write>& writes,
                                                 const std::string& comment, const port::record::VcdProgress& progress,
                                                 const std::vector<port::record::WriteRecord::Write>* keepAlive)
{
    SavedDump saved;
    saved.fileWasThere = QFileInfo(path).isFile();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        saved.error = file.errorString();
        return saved;
    }
    DeviceBuffer buffer(file);
    std::ostream out(&buffer);
    saved.summary = port::record::writeVcd(out, writes, comment, progress, keepAlive);
    if (!saved.summary) {
        saved.error = file.errorString();
        file.cancelWriting();  // the temporary file goes; path keeps what it had
        return saved;
    }
    if (!file.commit()) {
        saved.summary.written = false;
        saved.error = file.errorString();
    }
    return saved;
}

void MonitorWindow::showExportProgress(const std::shared_ptr<ExportLink>& link, int percent)
{
    if (link == export_)
        exportNote_->setText(tr("Exporting… %1 %").arg(percent));
}

void MonitorWindow::finishExport(const std::shared_ptr<ExportLink>& link, const SavedDump& saved)
{
    if (link != export_)
        return;
    export_.reset();
    exportButton_->setEnabled(true);
    const QString& path = link->path;
    const port::record::VcdSummary& summary = saved.summary;
    if (!summary) {
        QString text = tr("The file %1 could not be written: %2.")
                           .arg(QDir::toNativeSeparators(path),
                                saved.error.isEmpty() ? tr("no reason given") : saved.error);
        if (saved.fileWasThere)
            text += QLatin1Char(' ') + tr("The file that was there is unchanged.");
        exportNote_->setText(text);
        return;
    }
    rememberExportFolder(QFileInfo(path).absolutePath());

    const QString shown = shortPath(path, QDir::homePath());
    QString text;
    if (!summary.firstWrite) {
        text = tr("Wrote an empty dump to %1: nothing has been written to the port yet.").arg(shown);
    } else {
        const QString length =
            text::durationText(std::chrono::nanoseconds(*summary.lastWrite - *summary.firstWrite), TraceView::spanDigits);
        const QString changes = changesText(summary.changes);
        if (!link->inRun)
            text = tr("Wrote %1 of port writes, %2, to %3.").arg(length, changes, shown);
        else if (link->lost.startHeld)
            text = tr("Wrote the whole run, %1, %2, to %3.").arg(length, changes, shown);
        else
            text = tr("Wrote %1 of the run, %2, to %3.").arg(length, changes, shown);
        if (link->lost.missing)
            text += QLatin1Char(' ')
                + tr("The first %1 of the run are no longer held.")
                      .arg(text::durationText(std::chrono::nanoseconds(*link->lost.missing), TraceView::spanDigits));
        else if (link->lost.missingAtMost)
            text += QLatin1Char(' ')
                + tr("The start of the run was not seen: the file begins at most %1 after it.")
                      .arg(text::durationText(std::chrono::nanoseconds(*link->lost.missingAtMost), TraceView::spanDigits));
        else if (link->inRun && !link->lost.startHeld)
            text += QLatin1Char(' ') + tr("The start of the run was not seen.");
    }
    exportNote_->setText(text);
}

void MonitorWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    refresh();
    timer_->start();
}

void MonitorWindow::hideEvent(QHideEvent* event)
{
    timer_->stop();
    hiddenSinceRefresh_ = true;
    QWidget::hideEvent(event);
}

// The folder of the last export, while it exists; else the operator's
// documents where that folder exists, else the home folder, rather than
// wherever the program happened to be started.
QString MonitorWindow::suggestedExportPath() const
{
    const QSettings settings(settingsOrganization(), QCoreApplication::applicationName());
    QString folder = settings.value(exportFolderKey).toString();
    if (folder.isEmpty() || !QDir(folder).exists())
        folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !QDir(folder).exists())
        folder = QDir::homePath();
    return QDir(folder).filePath(exportFileName);
}

void MonitorWindow::rememberExportFolder(const QString& folder) const
{
    QSettings settings(settingsOrganization(), QCoreApplication::applicationName());
    settings.setValue(exportFolderKey, folder);
}

}  // namespace app::monitor
