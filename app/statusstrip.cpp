// The strip's controls and the wording of its readout.
#include "app/statusstrip.h"

#include <QGridLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>

namespace app {

namespace {

constexpr int significantDigits = 6;
constexpr int latenessDigits = 3;
constexpr double nanosecondsPerMicrosecond = 1e3;
constexpr double microsecondsPerMillisecond = 1e3;
constexpr int margin = 4;
constexpr int spacing = 2;

QLabel* createLabel(const QString& name, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QString frequencyText(double hertz)
{
    return QStringLiteral("%1 Hz").arg(QLocale().toString(hertz, 'g', significantDigits));
}

// Microseconds below a millisecond, milliseconds from there.
QString latenessText(std::chrono::nanoseconds lateness)
{
    const double microseconds = static_cast<double>(lateness.count()) / nanosecondsPerMicrosecond;
    if (microseconds < microsecondsPerMillisecond)
        return StatusStrip::tr("%1 µs").arg(QLocale().toString(microseconds, 'g', latenessDigits));
    return StatusStrip::tr("%1 ms").arg(
        QLocale().toString(microseconds / microsecondsPerMillisecond, 'g', latenessDigits));
}

} // namespace

StatusStrip::StatusStrip(const QString& portDescription, QWidget* parent)
    : QWidget(parent)
    , portStatusLabel_(createLabel(QStringLiteral("PortStatus"), this))
    , timingLabel_(createLabel(QStringLiteral("TimingMode"), this))
    , runStateLabel_(createLabel(QStringLiteral("RunState"), this))
    , runFiguresLabel_(createLabel(QStringLiteral("RunFigures"), this))
    , monitorButton_(new QPushButton(tr("&Monitor…"), this))
    , selfTestButton_(new QPushButton(tr("Timing &self-test"), this))
{
    setObjectName(QStringLiteral("StatusStrip"));
    portStatusLabel_->setText(portDescription);
    portStatusLabel_->setToolTip(portDescription);
    timingLabel_->setText(tr("Timing: setting up the step thread"));
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
    layout->addWidget(runFiguresLabel_, 3, 0);
    layout->addWidget(monitorButton_, 3, 1);
    layout->addWidget(selfTestButton_, 3, 2);
    layout->setColumnStretch(0, 1);

    showReadout(port::RunReadout{});
}

QString StatusStrip::stateText(const port::RunReadout& readout)
{
    switch (readout.state) {
    case port::SequencerState::Idle:
        break;
    case port::SequencerState::Running:
        return tr("Running: delay count %1, defined %2, measured %3")
            .arg(readout.delayCount)
            .arg(frequencyText(readout.definedFrequency),
                 readout.measuredFrequency ? frequencyText(*readout.measuredFrequency) : tr("—"));
    case port::SequencerState::Stopping:
        return tr("Stopping: the cycle under way completes, then the port goes idle");
    }
    if (readout.afterRun && readout.lastStop) {
        if (readout.lastStop->kind == port::StopOutcome::Kind::AtOnce)
            return tr("Stopped at once: the cycle would have taken %1").arg(waitText(readout.lastStop->cycleLeft));
        return tr("Stopped after the cycle under way");
    }
    return tr("Idle");
}

QString StatusStrip::waitText(std::chrono::nanoseconds wait)
{
    struct Unit {
        double seconds;
        const char* name;
    };
    // The largest unit the wait holds at least one of.
    static constexpr Unit units[] = {{1.0, QT_TR_NOOP("s")},         {60.0, QT_TR_NOOP("min")},
                                     {3600.0, QT_TR_NOOP("h")},      {86400.0, QT_TR_NOOP("days")},
                                     {31557600.0, QT_TR_NOOP("years")}};
    const double seconds = std::chrono::duration<double>(wait).count();
    if (seconds < units[0].seconds)
        return tr("%1 ms").arg(QLocale().toString(seconds * 1e3, 'f', 0));
    const Unit* unit = &units[0];
    for (const Unit& larger : units)
        if (seconds >= larger.seconds)
            unit = &larger;
    const double value = seconds / unit->seconds;
    // Three significant digits, never in exponent form.
    const int decimals = value < 10.0 ? 2 : value < 100.0 ? 1 : 0;
    return QStringLiteral("%1 %2").arg(QLocale().toString(value, 'f', decimals), tr(unit->name));
}

QString StatusStrip::figuresText(const port::RunReadout& readout)
{
    if (readout.state == port::SequencerState::Idle && !readout.afterRun)
        return {};
    const QString figures = tr("%1 cycles, largest lateness %2")
                                .arg(QLocale().toString(static_cast<qulonglong>(readout.cycles)),
                                     latenessText(readout.largestLateness));
    if (readout.state == port::SequencerState::Idle)
        return tr("Last run: %1").arg(figures);
    return figures;
}

void StatusStrip::showReadout(const port::RunReadout& readout)
{
    runStateLabel_->setText(stateText(readout));
    runFiguresLabel_->setText(figuresText(readout));
}

void StatusStrip::showSelfTestRunning(std::chrono::nanoseconds duration)
{
    const double seconds = std::chrono::duration<double>(duration).count();
    runStateLabel_->setText(tr("Timing self-test: measuring for %1 s on the step CPU…")
                                .arg(QLocale().toString(seconds, 'g', latenessDigits)));
    runFiguresLabel_->clear();
}

void StatusStrip::showSelfTestEnded(const QString& line)
{
    runStateLabel_->setText(line);
}

void StatusStrip::showTiming(const QString& text)
{
    timingLabel_->setText(text);
    timingLabel_->setToolTip(text);
}

void StatusStrip::setSelfTestEnabled(bool enabled)
{
    selfTestButton_->setEnabled(enabled);
}

} // namespace app
