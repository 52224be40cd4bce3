// The window: its controls at fixed positions, the handlers of their events,
// which hand them to the console, and what the console says, shown.
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
#include <QMouseEvent>
#include <QPainter>
#include <QSignalBlocker>

#include "app/console/runadapter.h"
#include "app/monitor/monitorwindow.h"
#include "app/selftest/selftestdialog.h"
#include "app/selftest/selftestrunner.h"
#include "app/selftest/selftestverdict.h"
#include "app/window/applicationicon.h"
#include "app/window/captionbutton.h"
#include "app/window/captionfont.h"
#include "app/window/fillfield.h"
#include "app/window/placement.h"
#include "app/window/statusstrip.h"
#include "app/window/textfield.h"
#include "port/record/writerecord.h"
#include "port/run/threadpinning.h"
#include "port/selftest/timingselftest.h"

namespace app::window {

const char* const Form1::applicationTitle = console::OperatorConsole::applicationTitle;

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

} // namespace

Form1::Form1(console::MessageBox& messageBox, FileDialog& fileDialog, port::backend::Module1& module,
             const port::record::WriteRecord& record, const QString& portDescription,
             port::run::StepThreadSetup stepSetup, QWidget* parent)
    : QWidget(parent)
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
    console_ = new console::OperatorConsole(messageBox, module, record, std::move(stepSetup), this);
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
// typed or set by code, as the checks must warn at each altering keystroke;
// what the console puts into a field comes back through showText.
void Form1::connectHandlers()
{
    connect(command(1), &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(command(2), &QPushButton::clicked, this, &Form1::Command2_Click);
    connect(command(3), &QPushButton::clicked, this, &Form1::Command3_Click);
    connect(command(4), &QPushButton::clicked, this, &Form1::Command4_Click);
    connect(field(3), &QLineEdit::textChanged, this, &Form1::Text3_Change);
    connect(field(6), &QLineEdit::textChanged, this, &Form1::Text6_Change);
    connect(field(7), &QLineEdit::textChanged, this, &Form1::Text7_Change);
    for (const int number : {1, 2, 4, 5, 8, 9, 10})
        connect(field(number), &QLineEdit::textChanged, this, [this, number] { typed(number); });
    // Leaving P.F. is seen on the field, the end of the click that left it
    // wherever its release goes.
    QCoreApplication::instance()->installEventFilter(this);
    connect(console_, &console::OperatorConsole::textChanged, this, &Form1::showText);
    connect(console_, &console::OperatorConsole::printed, this, [this] { update(); });
    connect(console_, &console::OperatorConsole::readingNoted, statusStrip_, &StatusStrip::showFieldReading);
    connect(console_, &console::OperatorConsole::aboutToRun, this, &Form1::cutSelfTestShort);
    connect(console_, &console::OperatorConsole::stopPressed, this, &Form1::stopPressed);
    connect(console_, &console::OperatorConsole::runStateChanged, this, &Form1::showRunState);
    connect(&console_->runs(), &console::RunAdapter::readoutChanged, statusStrip_, &StatusStrip::showReadout);
    connect(&console_->runs(), &console::RunAdapter::timingChanged, statusStrip_, &StatusStrip::showTiming);
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
    for (int number = 1; number <= console::OperatorConsole::fieldCount; ++number)
        field(number)->setText(console_->text(number));
}

void Form1::typed(int number)
{
    echoed_ = number;
    console_->setText(number, field(number)->text());
    echoed_ = 0;
}

// Before the change's checks, so that the field shows what their boxes judge.
// What was typed here comes back first, and is shown already.
void Form1::showText(int number, const QString& text)
{
    if (std::exchange(echoed_, 0) == number)
        return;
    const QSignalBlocker blocker(field(number));
    fillField(*field(number), text);
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
    const QString line = console_->printedLine();
    if (line.isEmpty())
        return;
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(QPoint(0, fontMetrics().ascent()), line);
}

void Form1::Command1_Click()
{
    console_->run();
}

// RUN while the timing self-test measures: the start waits for its end.
void Form1::cutSelfTestShort()
{
    if (!selfTest_->isRunning())
        return;
    selfTest_->cancel();
    selfTestCutShort_ = true;
    statusStrip_->showSelfTestEnded(tr("Timing self-test cut short by RUN: the run starts when it has ended"));
}

void Form1::Command2_Click()
{
    console_->requiredVoltage();
}

void Form1::Command3_Click()
{
    console_->stop();
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
    console_->shutDown();
    QWidget::closeEvent(event);
}

void Form1::showRunState(port::run::SequencerState state)
{
    const bool alive = state != port::run::SequencerState::Idle;
    statusStrip_->setSelfTestEnabled(!alive && !selfTest_->isRunning());
}

bool Form1::readoutPolling() const
{
    return console_->runs().polling();
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
    if (selfTest_->isRunning() || console_->runs().isAlive())
        return;
    statusStrip_->setSelfTestEnabled(false);
    statusStrip_->showSelfTestRunning(selfTestDuration_);
    console_->runs().holdStepCpu();
    selfTest_->start(selfTestDuration_);
}

void Form1::showTimingSelfTest(const port::selftest::SelfTestResult& result)
{
    // The self-test's step thread has ended (or was left to end on its own,
    // failure says so): the step CPU is the run's.
    console_->runs().releaseStepCpu();
    statusStrip_->setSelfTestEnabled(!console_->runs().isAlive());
    if (std::exchange(selfTestCutShort_, false)) {
        statusStrip_->showSelfTestEnded(tr("Timing self-test cut short by RUN"));
        selftest::SelfTestDialog* dialog = selfTestDialog();
        dialog->showNotice(selftest::selfTestCutShortNotice(result));
        presentSelfTestDialog(dialog);
        return;
    }
    if (result.cancelled) {
        if (!console_->runs().isAlive())
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

void Form1::Text3_Change()
{
    typed(3);
}

void Form1::Text4_LostFocus()
{
    console_->checkPowerFactor();
}

void Form1::Text6_Change()
{
    typed(6);
}

void Form1::Text7_Change()
{
    typed(7);
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
