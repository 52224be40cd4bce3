// The strip's controls and the wording of its readout.
#include "app/window/statusstrip.h"

#include <QGridLayout>
#include <QHelpEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QTextDocument>
#include <QToolTip>

#include <algorithm>

#include "app/text/durationtext.h"
#include "app/text/runstatetext.h"
#include "app/text/timingtext.h"
#include "port/selftest/timingselftest.h"

namespace app::window {

namespace {

constexpr int margin = 4;
constexpr int spacing = 2;

// A line of the strip, which is as wide as the window and no wider. A line
// too long for it is cut after its last whole word that fits, with an
// ellipsis, never inside a figure: "from '1e20 V'; V/f read as -1.2" would
// show a number that is not there. Its tooltip then holds the whole line;
// text() and a screen reader keep it whole.
class StripLine : public QLabel
{
public:
    using QLabel::QLabel;

    QSize minimumSizeHint() const override { return {0, QLabel::minimumSizeHint().height()}; }

protected:
    bool event(QEvent* event) override
    {
        if (event->type() == QEvent::ToolTip && toolTip().isEmpty() && shown() != text()) {
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), Qt::convertFromPlainText(text()), this);
            return true;
        }
        return QLabel::event(event);
    }

    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        style()->drawItemText(&painter, contentsRect(), int(alignment()), palette(), isEnabled(), shown(),
                              foregroundRole());
    }

private:
    QString shown() const
    {
        const QString line = text();
        const QFontMetrics metrics = fontMetrics();
        const int room = contentsRect().width();
        if (metrics.horizontalAdvance(line) <= room)
            return line;
        const QString ellipsis = QStringLiteral("\u2026");
        for (qsizetype end = line.lastIndexOf(QLatin1Char(' ')); end > 0; end = line.lastIndexOf(QLatin1Char(' '), end - 1)) {
            const QString words = line.left(end) + QLatin1Char(' ') + ellipsis;
            if (metrics.horizontalAdvance(words) <= room)
                return words;
        }
        return metrics.elidedText(line, Qt::ElideRight, room);
    }
};

QLabel* createLabel(const QString& name, QWidget* parent)
{
    auto* label = new StripLine(parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    return label;
}

} // namespace

StatusStrip::StatusStrip(const QString& portDescription, QWidget* parent)
    : QWidget(parent)
    , portStatusLabel_(createLabel(QStringLiteral("PortStatus"), this))
    , timingLabel_(createLabel(QStringLiteral("TimingMode"), this))
    , runStateLabel_(createLabel(QStringLiteral("RunState"), this))
    , runFiguresLabel_(createLabel(QStringLiteral("RunFigures"), this))
    , fieldReadingLabel_(createLabel(QStringLiteral("FieldReading"), this))
    , monitorButton_(new QPushButton(tr("&Monitor…"), this))
    , selfTestButton_(new QPushButton(tr("Timing &self-test"), this))
{
    setObjectName(QStringLiteral("StatusStrip"));
    portStatusLabel_->setText(portDescription);
    portStatusLabel_->setToolTip(portDescription);
    timingLabel_->setText(text::timingText({}));
    monitorButton_->setObjectName(QStringLiteral("OpenMonitor"));
    monitorButton_->setAutoDefault(false);
    connect(monitorButton_, &QPushButton::clicked, this, &StatusStrip::monitorRequested);
    selfTestButton_->setObjectName(QStringLiteral("TimingSelfTest"));
    selfTestButton_->setAutoDefault(false);
    selfTestButton_->setToolTip(tr("Runs the step timing for a few seconds on the step CPU, writing to no "
                                   "port, and tells how closely this PC holds the steps"));
    connect(selfTestButton_, &QPushButton::clicked, this, &StatusStrip::selfTestRequested);

    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(margin, spacing, margin, spacing);
    layout->setSpacing(spacing);
    layout->addWidget(portStatusLabel_, 0, 0, 1, 3);
    layout->addWidget(timingLabel_, 1, 0, 1, 3);
    layout->addWidget(runStateLabel_, 2, 0, 1, 3);
    // A line of its own: the readout rewrites the run's lines ten times a
    // second during a run, and the note must stay until it is read.
    layout->addWidget(fieldReadingLabel_, 3, 0, 1, 3);
    layout->addWidget(runFiguresLabel_, 4, 0);
    layout->addWidget(monitorButton_, 4, 1);
    layout->addWidget(selfTestButton_, 4, 2);
    layout->setColumnStretch(0, 1);

    showReadout(port::run::RunReadout{});
}

QString StatusStrip::stateText(const port::run::RunReadout& readout)
{
    return text::runStateText(readout);
}

QString StatusStrip::endCauseText(const port::run::RunReadout& readout)
{
    return text::runEndCauseText(readout);
}

QString StatusStrip::waitText(std::chrono::nanoseconds wait)
{
    return text::durationText(wait);
}

QString StatusStrip::selfTestText(const port::selftest::SelfTestResult& result)
{
    return tr("Timing self-test: 99 % of steps within %1 at 30 Hz, %2 at 1 kHz, longest stall %3")
        .arg(text::durationText(result.slow.p99), text::durationText(result.fast.p99),
             text::durationText(std::max(result.slow.largestStall, result.fast.largestStall)));
}

QString StatusStrip::figuresText(const port::run::RunReadout& readout)
{
    if (readout.state == port::run::SequencerState::Idle && !readout.afterRun)
        return {};
    const QString figures = tr("%1 cycles, largest lateness %2")
                                .arg(text::countText(readout.cycles),
                                     text::durationText(readout.largestLateness));
    if (readout.state == port::run::SequencerState::Idle)
        return tr("Last run: %1").arg(figures);
    return figures;
}

void StatusStrip::showReadout(const port::run::RunReadout& readout)
{
    if (selfTestShown_ && readout.state == port::run::SequencerState::Idle)
        return;
    selfTestShown_ = false;
    runStateLabel_->setText(stateText(readout));
    runFiguresLabel_->setText(figuresText(readout));
}

void StatusStrip::showSelfTestRunning(std::chrono::nanoseconds duration)
{
    runStateLabel_->setText(tr("Timing self-test: measuring for %1 on the step CPU…").arg(text::durationText(duration)));
    runFiguresLabel_->clear();
    selfTestShown_ = true;
}

void StatusStrip::showSelfTestEnded(const QString& line)
{
    selfTestShown_ = false;
    runStateLabel_->setText(line);
}

void StatusStrip::showFieldReading(const QString& note)
{
    fieldReadingLabel_->setText(note);
    // A long note is cut at the strip's edge; the tooltip holds all of it.
    fieldReadingLabel_->setToolTip(note);
}

void StatusStrip::showTiming(const QString& text)
{
    timingText_ = text;
    const QString shown = stepCpuText_.isEmpty() ? text : text + QStringLiteral("; ") + stepCpuText_;
    timingLabel_->setText(shown);
    timingLabel_->setToolTip(shown);
}

QString StatusStrip::stepCpuText(const port::run::StepCpuClaim& claim)
{
    if (!claim.shared)
        return {};
    // Short, as it follows the timing on one line; the README says what it means.
    if (claim.sharedWithPid > 0)
        return tr("CPU %1 shared with frequency-converter pid %2").arg(claim.cpu).arg(claim.sharedWithPid);
    return tr("CPU %1 shared with another frequency-converter").arg(claim.cpu);
}

void StatusStrip::showStepCpu(const port::run::StepCpuClaim& claim)
{
    stepCpuText_ = stepCpuText(claim);
    showTiming(timingText_.isEmpty() ? timingLabel_->text() : timingText_);
}

void StatusStrip::addRow(QWidget* row)
{
    auto* grid = static_cast<QGridLayout*>(layout());
    grid->addWidget(row, grid->rowCount(), 0, 1, 3);
}

void StatusStrip::setSelfTestEnabled(bool enabled)
{
    selfTestButton_->setEnabled(enabled);
}

}  // namespace app::window
