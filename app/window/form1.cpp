// The window: its controls at fixed positions, the handlers of their events,
// and the services the handlers share (reading a field, message box, printed line).
#include "app/window/form1.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <utility>
#include <vector>

#include <QApplication>
#include <QCloseEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QStringList>

#include "app/fields/fieldconversion.h"
#include "app/fields/inputchecks.h"
#include "app/monitor/monitorwindow.h"
#include "app/selftest/selftestdialog.h"
#include "app/selftest/selftestrunner.h"
#include "app/selftest/selftestverdict.h"
#include "app/window/applicationicon.h"
#include "app/window/captionbutton.h"
#include "app/window/captionfont.h"
#include "app/window/checkmessages.h"
#include "app/window/fillfield.h"
#include "app/window/messagebox.h"
#include "app/window/placement.h"
#include "app/window/runadapter.h"
#include "app/window/statusstrip.h"
#include "app/window/textfield.h"
#include "port/pattern/delaycount.h"
#include "port/record/writerecord.h"
#include "port/run/threadpinning.h"
#include "port/selftest/timingselftest.h"

namespace app::window {

const char* const Form1::applicationTitle = QT_TRANSLATE_NOOP("Form1", "Frequency Converter");

namespace {

// Positions are kept in twips, the unit the layout was drawn in; 15 twips
// make one pixel at 96 dots per inch.
constexpr int twipsPerPixel = 15;
constexpr int clientWidthTwips = 7125;
constexpr int clientHeightTwips = 5790;
constexpr int clientWidth = clientWidthTwips / twipsPerPixel;
constexpr int clientHeight = clientHeightTwips / twipsPerPixel;

enum class Kind { Label, Field, Button };

struct ControlGeometry {
    const char* name;
    Kind kind;
    const char* caption;  // label or button caption, or the field's initial text
    int left, top, width, height;
};

// In the order of the input focus under Tab.
constexpr ControlGeometry controlTable[] = {
    {"Label1", Kind::Label, QT_TRANSLATE_NOOP("Form1", "Motor Parameters"), 4560, 240, 1335, 255},
    {"Text1", Kind::Field, "Text1", 5280, 720, 1095, 285},
    {"Text2", Kind::Field, "Text2", 5280, 1320, 1095, 285},
    {"Text3", Kind::Field, "Text3", 5280, 1920, 1095, 285},
    {"Label2", Kind::Label, QT_TRANSLATE_NOOP("Form1", "Voltage(V):"), 3960, 720, 1215, 375},
    {"Label3", Kind::Label, QT_TRANSLATE_NOOP("Form1", "Frequency(HZ):"), 3960, 1320, 1095, 375},
    {"Label4", Kind::Label, QT_TRANSLATE_NOOP("Form1", "Power(W):"), 3960, 1920, 1215, 375},
    {"Text4", Kind::Field, "Text4", 5280, 2520, 1095, 285},
    {"Label5", Kind::Label, QT_TRANSLATE_NOOP("Form1", "P.F.:"), 3960, 2520, 975, 375},
    {"Text5", Kind::Field, "Text5", 5280, 3120, 1095, 285},
    {"Label6", Kind::Label, QT_TRANSLATE_NOOP("Form1", "Speed(rpm):"), 3960, 3120, 1095, 375},
    {"Text6", Kind::Field, "Text6", 5280, 3720, 1095, 285},
    {"Label7", Kind::Label, QT_TRANSLATE_NOOP("Form1", "# of Pole:"), 3960, 3720, 855, 375},
    {"Label8", Kind::Label, QT_TRANSLATE_NOOP("Form1", "Demand Parameters"), 720, 240, 1455, 255},
    {"Text7", Kind::Field, "Text7", 1680, 720, 975, 285},
    {"Label9", Kind::Label, QT_TRANSLATE_NOOP("Form1", "Speed(rpm):"), 240, 720, 1095, 375},
    {"Text8", Kind::Field, "Text8", 1680, 1320, 975, 285},
    {"Label10", Kind::Label, QT_TRANSLATE_NOOP("Form1", "V/f(V/HZ):"), 240, 1320, 975, 375},
    {"Text9", Kind::Field, "Text9", 1680, 1920, 975, 285},
    {"Label11", Kind::Label, QT_TRANSLATE_NOOP("Form1", "Operating Time(min.):"), 240, 1920, 1095, 375},
    {"Command1", Kind::Button, QT_TRANSLATE_NOOP("Form1", "RUN"), 720, 5040, 1575, 375},
    {"Command2", Kind::Button, QT_TRANSLATE_NOOP("Form1", "Required Voltage"), 240, 3360, 1095, 495},
    {"Text10", Kind::Field, "Text10", 1680, 3480, 975, 285},
    {"Command3", Kind::Button, QT_TRANSLATE_NOOP("Form1", "STOP"), 3000, 5040, 1455, 375},
    {"Command4", Kind::Button, QT_TRANSLATE_NOOP("Form1", "EXIT"), 5160, 5040, 1455, 375},
    // Caption-less buttons that serve as divider bars; they have no handler.
    {"Command5", Kind::Button, "", 3300, 120, 75, 4095},
    {"Command6", Kind::Button, "", 120, 2760, 2895, 135},
    {"Command7", Kind::Button, "", 120, 4560, 6975, 135},
};

// The label beside each field, which names the field to a screen reader too.
struct FieldLabel {
    int label;
    int field;
};

constexpr FieldLabel fieldLabels[] = {{2, 1}, {3, 2}, {4, 3}, {5, 4}, {6, 5}, {7, 6}, {9, 7}, {10, 8}, {11, 9}};

constexpr QRect pixels(const ControlGeometry& g)
{
    return QRect(g.left / twipsPerPixel, g.top / twipsPerPixel,
                 g.width / twipsPerPixel, g.height / twipsPerPixel);
}

constexpr int labelFlags = Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap;

// The number a control's default name ends in: "Text10" is 10.
int controlNumber(const char* name)
{
    while (*name && (*name < '0' || *name > '9'))
        ++name;
    return std::atoi(name);
}

std::string utf8(const QLineEdit* field)
{
    return field->text().toStdString();
}


// STOP from the keyboard, anywhere in the program. No field and no box uses it.
constexpr Qt::Key stopKey = Qt::Key_F12;

// Sees every key press of the program before any widget does, whichever
// window has the focus. A shortcut of the window would not do: Qt holds a
// window's shortcuts back while a modal box is open over it, and the box's
// buttons take Return, Escape and Space for themselves.
class StopKeyFilter : public QObject
{
public:
    StopKeyFilter(std::function<void()> stop, QObject* parent)
        : QObject(parent)
        , stop_(std::move(stop))
    {
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::KeyPress || static_cast<QKeyEvent*>(event)->key() != stopKey)
            return QObject::eventFilter(watched, event);
        // A held key repeats: one press is one click, as a second STOP means
        // "at once" to a run that completes its cycle.
        if (!static_cast<QKeyEvent*>(event)->isAutoRepeat())
            stop_();
        event->accept();
        return true;
    }

private:
    std::function<void()> stop_;
};

// The fields Required Voltage reads, in the window's order, by the names
// its note gives them.
struct ReadField {
    int number;
    const char* name;
};

constexpr ReadField requiredVoltageFields[] = {
    {1, QT_TRANSLATE_NOOP("Form1", "Voltage")},
    {6, QT_TRANSLATE_NOOP("Form1", "# of poles")},
    {7, QT_TRANSLATE_NOOP("Form1", "Speed")},
    {8, QT_TRANSLATE_NOOP("Form1", "V/f")},
};

// Enough of a field's text to recognise it on one line of the strip.
constexpr qsizetype quotedLength = 16;

QString quoted(QString text)
{
    // Skipped by the reading, and a line feed would break the strip's line.
    text.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\t'), QLatin1Char(' '));
    if (text.size() > quotedLength)
        text = text.left(quotedLength - 1) + QChar(0x2026);  // …
    return text;
}

} // namespace

Form1::Form1(MessageBox& messageBox, FileDialog& fileDialog, port::backend::Module1& module,
             const port::record::WriteRecord& record, const QString& portDescription,
             port::run::StepThreadSetup stepSetup, QWidget* parent)
    : QWidget(parent)
    , messageBox_(messageBox)
    , fileDialog_(fileDialog)
    , record_(record)
    , selfTestDuration_(port::selftest::selfTestDefaultDuration)
{
    setObjectName(QStringLiteral("Form1"));
    createControls();
    // After the operator's controls, so that the focus starts on them.
    statusStrip_ = new StatusStrip(portDescription, this);
    stripHeight_ = StatusStrip::stripHeight;
    statusStrip_->setGeometry(0, clientHeight, clientWidth, stripHeight_);
    statusStrip_->showStepCpu(port::run::stepCpuClaim());
    selfTest_ = new selftest::SelfTestRunner(stepSetup, this);
    runAdapter_ = new RunAdapter(module, record, std::move(stepSetup), this);
    chooseFont();
    connectHandlers();
    installStopKey();

    // The controls keep their places whatever the size: the window never gets
    // smaller than they need, so RUN, STOP and EXIT cannot be hidden.
    setMinimumSize(clientWidth, clientHeight + StatusStrip::stripHeight);
    resize(clientWidth, clientHeight + StatusStrip::stripHeight);
    setWindowTitle(tr("FREQUENCY CONVERTER PROGRAM"));
    // Windows opened from this one (the monitor, the boxes) show it too.
    setWindowIcon(applicationIcon());

    Form_Load();
}

void Form1::createControls()
{
    QWidget* previousFocusable = nullptr;
    for (const ControlGeometry& g : controlTable) {
        const QString name = QString::fromLatin1(g.name);
        const int number = controlNumber(g.name);
        QWidget* control = nullptr;
        switch (g.kind) {
        case Kind::Label: {
            auto* label = new QLabel(tr(g.caption), this);
            label->setAlignment(Qt::Alignment(labelFlags & ~Qt::TextWordWrap));
            label->setWordWrap(true);
            labels_[number] = label;
            control = label;
            break;
        }
        case Kind::Field: {
            auto* field = new TextField(QString::fromLatin1(g.caption), this);
            fields_[number] = field;
            control = field;
            break;
        }
        case Kind::Button: {
            auto* button = new CaptionButton(*g.caption ? tr(g.caption) : QString(), this);
            button->setAutoDefault(false);
            commands_[number] = button;
            control = button;
            break;
        }
        }
        control->setObjectName(name);
        control->setGeometry(pixels(g));
        if (control->focusPolicy() != Qt::NoFocus) {
            if (previousFocusable)
                setTabOrder(previousFocusable, control);
            previousFocusable = control;
        }
    }
    for (const FieldLabel& pair : fieldLabels)
        labels_.at(pair.label)->setBuddy(field(pair.field));
    // No label of its own: the button it answers stands beside it.
    field(10)->setAccessibleName(command(2)->text());
}

Form1::~Form1() = default;

// Wires every handler in one place. Handlers of text changes see every change,
// typed or set by code, as the checks must warn at each altering keystroke.
void Form1::connectHandlers()
{
    connect(command(1), &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(command(2), &QPushButton::clicked, this, &Form1::Command2_Click);
    connect(command(3), &QPushButton::clicked, this, &Form1::Command3_Click);
    connect(command(4), &QPushButton::clicked, this, &Form1::Command4_Click);
    connect(field(3), &QLineEdit::textChanged, this, &Form1::Text3_Change);
    connect(field(6), &QLineEdit::textChanged, this, &Form1::Text6_Change);
    connect(field(7), &QLineEdit::textChanged, this, &Form1::Text7_Change);
    // Leaving P.F. is seen on the field, the end of the click that left it
    // wherever its release goes.
    QCoreApplication::instance()->installEventFilter(this);
    connect(runAdapter_, &RunAdapter::stateChanged, this, &Form1::showRunState);
    connect(runAdapter_, &RunAdapter::errorOccurred, this, &Form1::reportPortError);
    connect(runAdapter_, &RunAdapter::readoutChanged, statusStrip_, &StatusStrip::showReadout);
    connect(runAdapter_, &RunAdapter::timingChanged, statusStrip_, &StatusStrip::showTiming);
    connect(selfTest_, &selftest::SelfTestRunner::finished, this, &Form1::showTimingSelfTest);
    connect(statusStrip_, &StatusStrip::monitorRequested, this, &Form1::openMonitor);
    connect(statusStrip_, &StatusStrip::selfTestRequested, this, &Form1::startTimingSelfTest);
}

// STOP stays one key away while a box of the field checks is open (they
// are modal, and a run goes on behind them).
void Form1::installStopKey()
{
    QCoreApplication::instance()->installEventFilter(new StopKeyFilter([this] { Command3_Click(); }, this));
    command(3)->setToolTip(tr("Leaves the port idle. %1 does the same anywhere in the program, also while a "
                              "message box is open.")
                               .arg(QKeySequence(stopKey).toString(QKeySequence::NativeText)));
}

// The font every caption is read in full with: the captions as their
// controls lay them out, and a line no taller than the inside of a field.
void Form1::chooseFont()
{
    std::vector<Caption> captions;
    for (const auto& [number, label] : labels_)
        captions.push_back({label->text(), label->contentsRect(), labelFlags});
    for (const auto& [number, button] : commands_)
        if (!button->text().isEmpty())
            captions.push_back({button->text(), static_cast<const CaptionButton*>(button)->captionRect(),
                                CaptionButton::captionFlags});
    int lineRoom = std::numeric_limits<int>::max();
    for (const auto& [number, field] : fields_)
        lineRoom = std::min(lineRoom, field->contentsRect().height());
    setFont(captionFont(captions, lineRoom, QApplication::font()));
}

void Form1::Form_Load()
{
    for (int number = 1; number <= 10; ++number)
        field(number)->setText(QString());
}

bool Form1::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::FocusOut: {
        if (watched != field(4))
            break;
        // Only a real move of the focus to another control counts: the window
        // losing activation, or a box opening over it, is no leaving of the field,
        // and counting it would let the check's own box re-trigger the check.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason)
            break;
        // A press moves the focus while its button is still held. A box
        // opened now would block the window before the release arrives: the
        // release would be dropped, and the button pressed never clicked
        // (STOP drawn pressed, the run going on).
        powerFactorCheck_ = QGuiApplication::mouseButtons() != Qt::NoButton ? PendingCheck::ClickUnderWay
                                                                            : PendingCheck::Due;
        checkPowerFactorWhenFree();
        break;
    }
    case QEvent::MouseButtonRelease:
    case QEvent::MouseMove:
        // The press's grab brings the release here even off the window. A
        // move with every button up ends the click too: a release the
        // program never got, its grab taken by another program.
        if (powerFactorCheck_ == PendingCheck::ClickUnderWay
            && static_cast<QMouseEvent*>(event)->buttons() == Qt::NoButton) {
            powerFactorCheck_ = PendingCheck::Due;
            postPowerFactorCheck();
        }
        break;
    case QEvent::WindowUnblocked:
        if (powerFactorCheck_ == PendingCheck::Due)
            postPowerFactorCheck();
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

// The check runs once the click has done its work (STOP has stopped, EXIT
// has closed the window) and the boxes it opened are closed, so that one box
// is open at a time. A move of the focus by keyboard is checked at once.
void Form1::checkPowerFactorWhenFree()
{
    if (powerFactorCheck_ != PendingCheck::Due || QApplication::activeModalWidget())
        return;
    powerFactorCheck_ = PendingCheck::None;
    Text4_LostFocus();
}

// Queued, so that the event that ended the wait (the release, a box
// closing) has been delivered in full before the check opens its box.
void Form1::postPowerFactorCheck()
{
    if (std::exchange(powerFactorCheckPosted_, true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            powerFactorCheckPosted_ = false;
            checkPowerFactorWhenFree();
        },
        Qt::QueuedConnection);
}

void Form1::paintEvent(QPaintEvent*)
{
    if (printedLine_.isEmpty())
        return;
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(QPoint(0, fontMetrics().ascent()), printedLine_);
}

void Form1::print(const QString& line)
{
    printedLine_ = line;
    update();
}

void Form1::showMessage(Check check)
{
    const CheckMessage message = checkMessage(check);
    showMessage(message.prompt, message.title);
}

void Form1::showMessage(const QString& prompt, const QString& title)
{
    messageBox_.show(prompt, title.isEmpty() ? tr(applicationTitle) : title);
}

// RUN: while a run is under way it takes the new count at its next cycle, so
// there is never a second writer. A self-test that measures is cut short
// first: its step thread would share the step CPU with the run's, at the same
// priority, and the one that never blocked would keep the other from ever
// running. Run control keeps the start until the self-test's result
// arrives, which is once its step thread has ended.
void Form1::Command1_Click()
{
    const std::int64_t delayCount = port::pattern::delayCountFor(held_.stepTime);
    print(QString::number(delayCount));
    fillField(*field(9), QStringLiteral("0"));
    if (selfTest_->isRunning()) {
        selfTest_->cancel();
        selfTestCutShort_ = true;
        statusStrip_->showSelfTestEnded(tr("Timing self-test cut short by RUN: the run starts when it has ended"));
    }
    runAdapter_->run(delayCount);
}

void Form1::Command2_Click()
{
    const drive::SetPoint setPoint = drive::computeSetPoint(
        fields::numericReading(utf8(field(6))), fields::numericReading(utf8(field(7))),
        fields::numericReading(utf8(field(8))), fields::numericReading(utf8(field(1))), held_);
    held_ = setPoint.values;
    // Before any box, so that the note is there to read while it is open.
    statusStrip_->showFieldReading(readingNote());

    switch (setPoint.verdict) {
    case drive::Verdict::Accepted:
        fillField(*field(10), QString::fromStdString(
                                  fields::displayText(held_.requiredVoltage, QLocale().decimalPoint().toStdString())));
        break;
    case drive::Verdict::AtOrAboveRating:
        showMessage(Check::VoltageNotBelowRating);
        break;
    case drive::Verdict::ZeroFrequency:
        showMessage(Check::ZeroFrequency);
        break;
    case drive::Verdict::OutOfRange:
        showMessage(Check::FrequencyOutOfRange);
        break;
    }
}

// "V/f read as 7 from '7,6x'" for each field whose text held more than the
// number it gave, in the window's order; empty when every field read cleanly.
QString Form1::readingNote() const
{
    const QString decimalPoint = QLocale().decimalPoint();
    QStringList notes;
    for (const ReadField& read : requiredVoltageFields) {
        const std::string text = utf8(field(read.number));
        if (fields::readsWhole(text))
            continue;
        notes << tr("%1 read as %2 from '%3'")
                     .arg(tr(read.name),
                          QString::fromStdString(fields::displayText(fields::numericReading(text), decimalPoint.toStdString())),
                          quoted(field(read.number)->text()));
    }
    return notes.join(QStringLiteral("; "));
}

// STOP: a run completes its cycle when it ends soon, otherwise it ends at
// once; either way the port is left idle. With no run the idle values are
// written at once.
void Form1::Command3_Click()
{
    runAdapter_->stop();
    emit stopPressed();
}

// EXIT ends the program: a run alive ends at once with the idle pair; with
// no run nothing is written.
void Form1::Command4_Click()
{
    close();
}

void Form1::closeEvent(QCloseEvent* event)
{
    // Nobody is left to read a check's box.
    powerFactorCheck_ = PendingCheck::None;
    selfTestCutShort_ = false;  // nobody is left to read it
    selfTest_->cancel();
    runAdapter_->shutDown();
    QWidget::closeEvent(event);
}

void Form1::showRunState(port::run::SequencerState state)
{
    const bool alive = state != port::run::SequencerState::Idle;
    statusStrip_->setSelfTestEnabled(!alive && !selfTest_->isRunning());
}

bool Form1::readoutPolling() const
{
    return runAdapter_->polling();
}

// The monitor is its own top-level window, made on first use; it polls the
// record only while it is shown.
void Form1::openMonitor()
{
    if (!monitor_) {
        monitor_ = new monitor::MonitorWindow(record_, fileDialog_, this);
        monitor_->setWindowFlag(Qt::Window);
        if (keepAliveRecord_)
            monitor_->setKeepAliveRecord(*keepAliveRecord_);
    }
    monitor_->showBeside(*this);
    monitor_->raise();
    monitor_->activateWindow();
}

void Form1::startTimingSelfTest()
{
    if (selfTest_->isRunning() || runAdapter_->isAlive())
        return;
    statusStrip_->setSelfTestEnabled(false);
    statusStrip_->showSelfTestRunning(selfTestDuration_);
    runAdapter_->holdStepCpu();
    selfTest_->start(selfTestDuration_);
}

void Form1::showTimingSelfTest(const port::selftest::SelfTestResult& result)
{
    // The self-test's step thread has ended (or was left to end on its own,
    // failure says so): the step CPU is the run's.
    runAdapter_->releaseStepCpu();
    statusStrip_->setSelfTestEnabled(!runAdapter_->isAlive());
    if (std::exchange(selfTestCutShort_, false)) {
        statusStrip_->showSelfTestEnded(tr("Timing self-test cut short by RUN"));
        selftest::SelfTestDialog* dialog = selfTestDialog();
        dialog->showNotice(selftest::selfTestCutShortNotice(result));
        presentSelfTestDialog(dialog);
        return;
    }
    if (result.cancelled) {
        if (!runAdapter_->isAlive())
            statusStrip_->showSelfTestEnded(tr("Timing self-test cancelled"));
        return;
    }
    if (result.failed()) {
        // In the dialog, not a modal box: no box of ours holds the window
        // while a run may be alive.
        statusStrip_->showSelfTestEnded(tr("Timing self-test could not run"));
        selftest::SelfTestDialog* dialog = selfTestDialog();
        dialog->showNotice(selftest::selfTestVerdict(result));
        presentSelfTestDialog(dialog);
        return;
    }
    statusStrip_->showSelfTestEnded(StatusStrip::selfTestText(result));
    selftest::SelfTestDialog* dialog = selfTestDialog();
    dialog->showResult(result);
    presentSelfTestDialog(dialog);
}

// Shown once filled (a dialog sizes itself by whether it is already shown),
// on top, but without taking the keyboard: the result comes when it comes,
// and the Return the operator meant for a field or a box would otherwise
// close it unread (its Close button is the default), leaving only the strip.
// It opens beside the window and the monitor, covering neither, where the
// screen has room for it whole; once open it stays where the operator put it.
void Form1::presentSelfTestDialog(selftest::SelfTestDialog* dialog)
{
    dialog->setAttribute(Qt::WA_ShowWithoutActivating);
    if (!dialog->isVisible()) {
        QRect occupied = frameGeometry();
        if (monitor_ && monitor_->isVisible())
            occupied = occupied.united(monitor_->frameGeometry());
        placeBeside(*dialog, *this, occupied, dialog->size());
    }
    dialog->show();
    dialog->raise();
}

// Not modal: the operator may run, stop or exit while reading it; a later
// self-test fills the same dialog.
selftest::SelfTestDialog* Form1::selfTestDialog()
{
    auto* dialog = findChild<selftest::SelfTestDialog*>(QString(), Qt::FindDirectChildrenOnly);
    if (!dialog)
        dialog = new selftest::SelfTestDialog(this);
    return dialog;
}

// Said on stderr too: the box may be read by nobody, and a log keeps it.
void Form1::reportPortError(const QString& line)
{
    std::fprintf(stderr, "frequency-converter: ERROR: %s\n", qPrintable(line));
    showMessage(line, tr("Port Error"));
}

void Form1::Text3_Change()
{
    if (!fields::powerPasses(utf8(field(3))))
        showMessage(Check::Power);
}

void Form1::Text4_LostFocus()
{
    if (!fields::powerFactorPasses(utf8(field(4))))
        showMessage(Check::PowerFactor);
}

// Each check reads the fields again: the box before it may have taken time,
// and a check must judge the fields as they are when it runs.
void Form1::runPoleSpeedChecks()
{
    if (!fields::twoPoleSpeedPasses(utf8(field(6)), utf8(field(7))))
        showMessage(Check::TwoPoleSpeed);
    if (!fields::fourPoleSpeedPasses(utf8(field(6)), utf8(field(7))))
        showMessage(Check::FourPoleSpeed);
}

void Form1::Text6_Change()
{
    runPoleSpeedChecks();
}

void Form1::Text7_Change()
{
    if (!fields::demandSpeedWithinRated(utf8(field(5)), utf8(field(7))))
        showMessage(Check::AboveRatedSpeed);
    runPoleSpeedChecks();
}

void Form1::addStripRow(QWidget* row, int rowHeight)
{
    statusStrip_->addRow(row);
    stripHeight_ += rowHeight;
    statusStrip_->setGeometry(0, clientHeight, clientWidth, stripHeight_);
    setMinimumSize(clientWidth, clientHeight + stripHeight_);
    resize(width(), height() + rowHeight);
}

}  // namespace app::window
