#include "app/monitorwindow.h"

#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <fstream>

#include "app/filedialog.h"
#include "app/messagebox.h"
#include "app/traceview.h"
#include "port/vcdexport.h"

namespace app {

MonitorWindow::MonitorWindow(const port::WriteRecord& record, MessageBox& messageBox,
                             FileDialog& fileDialog, QWidget* parent)
    : QWidget(parent, Qt::Window),
      record_(record),
      messageBox_(messageBox),
      fileDialog_(fileDialog),
      view_(new TraceView(this)),
      currentStep_(new QLabel(this)),
      follow_(new QPushButton(tr("Follow"), this)),
      export_(new QPushButton(tr("Export VCD…"), this)),
      timer_(new QTimer(this))
{
    setObjectName(QStringLiteral("Monitor"));
    setWindowTitle(tr("Monitor"));
    view_->setObjectName(QStringLiteral("TraceView"));
    view_->setCapacity(record.capacity());
    currentStep_->setObjectName(QStringLiteral("CurrentStep"));
    follow_->setObjectName(QStringLiteral("FollowLive"));
    export_->setObjectName(QStringLiteral("ExportVcd"));
    timer_->setObjectName(QStringLiteral("RefreshTimer"));
    timer_->setInterval(refreshInterval);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(currentStep_, 1);
    buttons->addWidget(follow_);
    buttons->addWidget(export_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(view_, 1);
    layout->addLayout(buttons);

    connect(timer_, &QTimer::timeout, this, &MonitorWindow::refresh);
    connect(follow_, &QPushButton::clicked, view_, &TraceView::followLive);
    connect(export_, &QPushButton::clicked, this, &MonitorWindow::exportVcd);
}

bool MonitorWindow::polling() const
{
    return timer_->isActive();
}

void MonitorWindow::refresh()
{
    const std::uint64_t first = next_;
    auto writes = record_.since(first, record_.capacity(), next_);
    // Writes lost since the last refresh (the window was hidden for longer
    // than the record holds) would be drawn as levels held through the gap:
    // show what the record holds instead, with no gap in it.
    if (!writes.empty() && writes.front().index != first && !view_->writes().empty())
        view_->setWrites(std::move(writes));
    else
        view_->appendWrites(writes);
    currentStep_->setText(view_->currentStepText());
}

void MonitorWindow::exportVcd()
{
    const QString home = QDir::homePath();
    const QDir directory(QDir(home).exists() ? home : QDir::currentPath());
    const QString path = fileDialog_.saveFileName(
        tr("Export VCD"), directory.filePath(QStringLiteral("frequency-converter.vcd")),
        tr("Value change dump (*.vcd)"));
    if (path.isEmpty())
        return;

    const auto writes = record_.snapshot(record_.capacity());
    bool written = false;
    {
        std::ofstream out(QFile::encodeName(path).toStdString(), std::ios::binary);
        written = out.is_open() && port::writeVcd(out, writes, "frequency converter port writes");
        out.close();
        written = written && !out.fail();
    }
    if (!written)
        messageBox_.show(tr("The file %1 could not be written.").arg(QDir::toNativeSeparators(path)),
                         tr("Export VCD"));
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
    QWidget::hideEvent(event);
}

} // namespace app
