#include "app/monitorwindow.h"

#include "app/durationtext.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <vector>

#include "app/filedialog.h"
#include "app/messagebox.h"
#include "app/traceview.h"
#include "port/vcdexport.h"

namespace app {

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

} // namespace

MonitorWindow::MonitorWindow(const port::WriteRecord& record, MessageBox& messageBox,
                             FileDialog& fileDialog, QWidget* parent)
    : QWidget(parent, Qt::Window),
      record_(record),
      messageBox_(messageBox),
      fileDialog_(fileDialog),
      clock_(steadyNow),
      view_(new TraceView(this)),
      currentStep_(new QLabel(this)),
      recordSpan_(new QLabel(this)),
      follow_(new QPushButton(tr("&Follow"), this)),
      export_(new QPushButton(tr("&Export VCD…"), this)),
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
    follow_->setObjectName(QStringLiteral("FollowLive"));
    export_->setObjectName(QStringLiteral("ExportVcd"));
    timer_->setObjectName(QStringLiteral("RefreshTimer"));
    timer_->setInterval(refreshInterval);

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(currentStep_);
    bottom->addWidget(recordSpan_, 1);
    bottom->addWidget(follow_);
    bottom->addWidget(export_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(view_, 1);
    layout->addLayout(bottom);

    connect(timer_, &QTimer::timeout, this, &MonitorWindow::refresh);
    connect(follow_, &QPushButton::clicked, view_, &TraceView::followLive);
    connect(export_, &QPushButton::clicked, this, &MonitorWindow::exportVcd);
}

bool MonitorWindow::polling() const
{
    return timer_->isActive();
}

void MonitorWindow::setClock(Clock clock)
{
    clock_ = std::move(clock);
}

void MonitorWindow::showBeside(const QWidget& window)
{
    if (!placed_) {
        const QRect frame = window.frameGeometry();
        const QRect inner = window.geometry();
        // The window manager frames the monitor only once it is shown; until
        // then, take its frame to be like the main window's.
        const QMargins decoration(inner.left() - frame.left(), inner.top() - frame.top(),
                                  frame.right() - inner.right(), frame.bottom() - inner.bottom());
        const QSize size = testAttribute(Qt::WA_Resized) ? this->size() : sizeHint();
        if (const QScreen* screen = window.screen()) {
            const QRect beside = besideRect(frame, size.grownBy(decoration), screen->availableGeometry());
            resize(beside.size().shrunkBy(decoration));
            move(beside.topLeft());  // a window's position is its frame's
        }
        placed_ = true;
    }
    show();
}

QRect MonitorWindow::besideRect(QRect mainFrame, QSize monitorSize, QRect available)
{
    const QSize wanted = monitorSize.boundedTo(available.size());
    const auto within = [](int value, int low, int high) { return std::max(low, std::min(value, high)); };
    const auto rightOf = [&](QSize size) {
        return QRect(QPoint(mainFrame.right() + 1,
                            within(mainFrame.top(), available.top(), available.bottom() + 1 - size.height())),
                     size);
    };
    const auto leftOf = [&](QSize size) {
        return QRect(QPoint(mainFrame.left() - size.width(),
                            within(mainFrame.top(), available.top(), available.bottom() + 1 - size.height())),
                     size);
    };
    const auto below = [&](QSize size) {
        return QRect(QPoint(within(mainFrame.left(), available.left(), available.right() + 1 - size.width()),
                            mainFrame.bottom() + 1),
                     size);
    };
    struct Side {
        QSize room;
        std::function<QRect(QSize)> place;
    };
    const std::array<Side, 3> sides{{
        {QSize(available.right() - mainFrame.right(), available.height()), rightOf},
        {QSize(mainFrame.left() - available.left(), available.height()), leftOf},
        {QSize(available.width(), available.bottom() - mainFrame.bottom()), below},
    }};

    for (const Side& side : sides) {
        if (side.room.width() >= wanted.width() && side.room.height() >= wanted.height())
            return side.place(wanted);
    }
    const Side* roomiest = nullptr;
    QSize roomiestSize;
    for (const Side& side : sides) {
        const QSize size = wanted.boundedTo(side.room);
        const bool usable = size.width() >= minimumBesideSize.width() && size.height() >= minimumBesideSize.height();
        if (usable && (!roomiest || size.width() * size.height() > roomiestSize.width() * roomiestSize.height())) {
            roomiest = &side;
            roomiestSize = size;
        }
    }
    if (roomiest)
        return roomiest->place(roomiestSize);
    return QRect(QPoint(available.right() + 1 - wanted.width(), available.top()), wanted);
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
    hiddenSinceRefresh_ = false;
    next_ = next;
    view_->setPresent(now);
    currentStep_->setText(view_->currentStepText());
    recordSpan_->setText(view_->recordSpanText());
}

void MonitorWindow::exportVcd()
{
    const QString path =
        fileDialog_.saveFileName(tr("Export VCD"), suggestedExportPath(), tr("Value change dump (*.vcd)"));
    if (path.isEmpty())
        return;

    refresh();
    const std::vector<port::WriteRecord::Write> writes = view_->runWrites();
    const std::optional<TraceView::Run> run = view_->run();
    const bool startHeld = run && run->startSeen && !writes.empty() && writes.front().index == run->firstIndex;
    // How far into the run the file begins, when that is known, or at most.
    std::optional<std::int64_t> missing;
    std::optional<std::int64_t> missingAtMost;
    if (run && !startHeld && !writes.empty()) {
        if (run->startSeen)
            missing = writes.front().nanoseconds - run->start;
        else if (run->startedAfter)
            missingAtMost = writes.front().nanoseconds - *run->startedAfter;
    }

    std::string comment = "frequency converter port writes";
    if (startHeld)
        comment += "; time 0 is RUN";
    else if (missing)
        comment += "; time 0 is " + std::to_string(*missing) + " ns after RUN";
    else if (missingAtMost)
        comment += "; time 0 is at most " + std::to_string(*missingAtMost) + " ns after RUN";
    else if (run)
        comment += "; the start of the run was not seen";

    port::VcdSummary summary;
    {
        std::ofstream out(QFile::encodeName(path).toStdString(), std::ios::binary);
        if (out.is_open())
            summary = port::writeVcd(out, writes, comment);
        out.close();
        summary.written = summary.written && !out.fail();
    }
    if (!summary) {
        messageBox_.show(tr("The file %1 could not be written.").arg(QDir::toNativeSeparators(path)),
                         tr("Export VCD"));
        return;
    }
    rememberExportFolder(QFileInfo(path).absolutePath());

    const QString shown = shortPath(path, QDir::homePath());
    QString text;
    if (!summary.firstWrite) {
        text = tr("Wrote an empty dump to %1: nothing has been written to the port yet.").arg(shown);
    } else {
        const QString length =
            durationText(std::chrono::nanoseconds(*summary.lastWrite - *summary.firstWrite), TraceView::spanDigits);
        const QString changes = changesText(summary.changes);
        if (!run)
            text = tr("Wrote %1 of port writes, %2, to %3.").arg(length, changes, shown);
        else if (startHeld)
            text = tr("Wrote the whole run, %1, %2, to %3.").arg(length, changes, shown);
        else
            text = tr("Wrote %1 of the run, %2, to %3.").arg(length, changes, shown);
        if (missing)
            text += QLatin1Char(' ')
                + tr("The first %1 of the run are no longer held.")
                      .arg(durationText(std::chrono::nanoseconds(*missing), TraceView::spanDigits));
        else if (missingAtMost)
            text += QLatin1Char(' ')
                + tr("The start of the run was not seen: the file begins at most %1 after it.")
                      .arg(durationText(std::chrono::nanoseconds(*missingAtMost), TraceView::spanDigits));
        else if (run && !startHeld)
            text += QLatin1Char(' ') + tr("The start of the run was not seen.");
    }
    messageBox_.show(text, tr("Export VCD"));
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
// documents rather than wherever the program happened to be started.
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

} // namespace app
