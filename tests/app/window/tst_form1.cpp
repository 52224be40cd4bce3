// The operator window driven as the operator drives it: key presses, clicks, focus moves.
#include <QAccessible>
#include <QApplication>
#include <QFontInfo>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <QWindow>

#include <atomic>
#include <functional>
#include <limits>
#include <memory>

#include "app/monitor/monitorwindow.h"
#include "app/selftest/selftestdialog.h"
#include "app/selftest/selftestrunner.h"
#include "app/window/captionbutton.h"
#include "app/window/captionfont.h"
#include "app/window/filedialog.h"
#include "app/window/fillfield.h"
#include "app/window/form1.h"
#include "app/window/modalmessagebox.h"
#include "app/window/statusstrip.h"
#include "exactdouble.h"
#include "expectedpattern.h"
#include "port/backend/module1.h"
#include "port/pattern/steppattern.h"
#include "port/record/recordedport.h"
#include "port/selftest/timingselftest.h"
#include "recordingmessagebox.h"
#include "recordingport.h"

static const QString powerBox = QStringLiteral("Frequency Converter |  The Power must be less than 2000");
static const QString powerFactorBox = QStringLiteral(
    "Error Power Factor Value | The Power Factor must be less than 1 and greater than 0.6");
static const QString twoPoleBox = QStringLiteral("Error Value | The speed value must be less than 2100");
static const QString fourPoleBox = QStringLiteral("Error Value | The speed value must be less than 1050");
static const QString ratedBox = QStringLiteral(
    "Error Value | The speed value must be less than or equale the rated ");
static const QString refusedBox = QStringLiteral("Error value | Enter the correct value ");

// The window asks for no file unless the monitor is opened.
class NoFileDialog : public app::window::FileDialog
{
public:
    QString saveFileName(const QString&, const QString&, const QString&) override { return {}; }
};

class TestForm1 : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startsWithEmptyFieldsAndNoBox();
    void placesControls_data();
    void placesControls();
    void captionsFitTheirControls();
    void focusStartsOnText1();
    void windowKeepsItsControlsInView();
    void everyWindowShowsTheIcon();
    void tabVisitsControlsInOrder();
    void dividerBarsDoNothing();
    void exitClosesTheWindow();

    void requiredVoltage_data();
    void requiredVoltage();
    void refusalStillStoresStepTime();
    void zeroFrequencyKeepsTiming_data();
    void zeroFrequencyKeepsTiming();
    void requiredVoltageInCommaLocale();
    void fieldReadingNote_data();
    void fieldReadingNote();

    void powerCheckAtEveryKey();
    void powerFactorCheckOnLeaving_data();
    void powerFactorCheckOnLeaving();
    void powerFactorIgnoresWindowDeactivation();
    void speedChecksWhileTyping_data();
    void speedChecksWhileTyping();
    void twoBoxesInOrder();
    void clearingSpeedShowsNoRatedBox();
    void clickThatLeavesPowerFactorCompletes_data();
    void clickThatLeavesPowerFactorCompletes();

    void stopRightAfterStart();
    void runPrintsCountAndDrivesThePort();
    void runBeforeRequiredVoltage();
    void leavingWhileRunningEndsIdle_data();
    void leavingWhileRunningEndsIdle();
    void exitWhenIdleWritesNothing();
    void stopAtLowFrequencySaysItStoppedAtOnce();
    void waitText_data();
    void waitText();
    void printedLineSurvivesRepaint();
    void stopKey_data();
    void stopKey();
    void stopKeyThroughARealBox();
    void stopClickRightAfterOk();

    void stripText_data();
    void stripText();
    void stripTextFrequency_data();
    void stripTextFrequency();
    void readoutPolledOnlyWhileRunning();
    void readoutMeasuresTheRun();
    void selfTestReportsInADialog();
    void selfTestFailureShowsANote();
    void selfTestDialogIsReused();
    void selfTestLineSurvivesStop();
    void selfTestLine_data();
    void selfTestLine();
    void runWaitsForTheSelfTestToEnd();
    void stopDropsTheWaitingRun();
    void stripSaysTheTiming_data();
    void stripSaysTheTiming();

    void filledFieldShowsItsStart_data();
    void filledFieldShowsItsStart();

private:
    QLineEdit* field(int number) const;
    QPushButton* button(int number) const;
    void fill(const QList<QPair<int, QString>>& texts);
    void typeInto(int number, const QString& keys);

    std::unique_ptr<RecordingMessageBox> box_;
    std::unique_ptr<app::window::ModalMessageBox> realBox_;  // outlives a form_ made with it
    NoFileDialog fileDialog_;
    std::unique_ptr<RecordingPort> port_;
    std::unique_ptr<port::record::RecordedPort> recorded_;
    std::unique_ptr<port::backend::Module1> module_;
    std::unique_ptr<app::window::Form1> form_;
};

void TestForm1::init()
{
    QLocale::setDefault(QLocale::c());
    box_ = std::make_unique<RecordingMessageBox>();
    port_ = std::make_unique<RecordingPort>();
    recorded_ = std::make_unique<port::record::RecordedPort>(*port_);
    module_ = std::make_unique<port::backend::Module1>(*recorded_);
    form_ = std::make_unique<app::window::Form1>(*box_, fileDialog_, *module_, recorded_->record(),
                                         QStringLiteral("Port: recording"));
    form_->show();
    form_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(form_.get()));
}

void TestForm1::cleanup()
{
    form_.reset();
    module_.reset();
    port_.reset();
    box_.reset();
    QLocale::setDefault(QLocale::c());
}

QLineEdit* TestForm1::field(int number) const
{
    return form_->findChild<QLineEdit*>(QStringLiteral("Text%1").arg(number));
}

QPushButton* TestForm1::button(int number) const
{
    return form_->findChild<QPushButton*>(QStringLiteral("Command%1").arg(number));
}

// Sets texts as a handler would; each setting is a change and may warn, so the
// boxes are cleared after.
void TestForm1::fill(const QList<QPair<int, QString>>& texts)
{
    for (const auto& [number, text] : texts)
        field(number)->setText(text);
    box_->shown.clear();
}

void TestForm1::typeInto(int number, const QString& keys)
{
    field(number)->setFocus(Qt::TabFocusReason);
    QTest::keyClicks(field(number), keys);
}

// ---- start-up and layout

void TestForm1::startsWithEmptyFieldsAndNoBox()
{
    for (int n = 1; n <= 10; ++n)
        QCOMPARE(field(n)->text(), QString());
    QCOMPARE(box_->shown, QStringList());
    QCOMPARE(form_->windowTitle(), QStringLiteral("FREQUENCY CONVERTER PROGRAM"));
    // the operator's area is 475 x 386; the status strip lies below it
    QCOMPARE(form_->size().width(), 475);
    auto* portStatus = form_->findChild<QLabel*>(QStringLiteral("PortStatus"));
    QVERIFY(portStatus->mapTo(form_.get(), QPoint(0, 0)).y() >= 386);
    QCOMPARE(portStatus->text(), QStringLiteral("Port: recording"));
    QCOMPARE(form_->findChild<QLabel*>(QStringLiteral("RunState"))->text(), QStringLiteral("Idle"));
    QVERIFY(!form_->readoutPolling());
    QCOMPARE(port_->size(), std::size_t(0));
    QCOMPARE(form_->heldValues().stepTime, 0.0);
}

void TestForm1::placesControls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("pixels");

    // check positions converted from twips, 15 to the pixel
    QTest::newRow("Label1")   << "Label1" << "Motor Parameters" << QRect(304, 16, 89, 17);
    QTest::newRow("Text1")    << "Text1" << "" << QRect(352, 48, 73, 19);
    QTest::newRow("Label3")   << "Label3" << "Frequency(HZ):" << QRect(264, 88, 73, 25);
    QTest::newRow("Label7")   << "Label7" << "# of Pole:" << QRect(264, 248, 57, 25);
    QTest::newRow("Text6")    << "Text6" << "" << QRect(352, 248, 73, 19);
    QTest::newRow("Label8")   << "Label8" << "Demand Parameters" << QRect(48, 16, 97, 17);
    QTest::newRow("Text7")    << "Text7" << "" << QRect(112, 48, 65, 19);
    QTest::newRow("Label11")  << "Label11" << "Operating Time(min.):" << QRect(16, 128, 73, 25);
    QTest::newRow("Command1") << "Command1" << "RUN" << QRect(48, 336, 105, 25);
    QTest::newRow("Command2") << "Command2" << "Required Voltage" << QRect(16, 224, 73, 33);
    QTest::newRow("Text10")   << "Text10" << "" << QRect(112, 232, 65, 19);
    QTest::newRow("Command3") << "Command3" << "STOP" << QRect(200, 336, 97, 25);
    QTest::newRow("Command4") << "Command4" << "EXIT" << QRect(344, 336, 97, 25);
    QTest::newRow("Command5") << "Command5" << "" << QRect(220, 8, 5, 273);
    QTest::newRow("Command6") << "Command6" << "" << QRect(8, 184, 193, 9);
    QTest::newRow("Command7") << "Command7" << "" << QRect(8, 304, 465, 9);
}

void TestForm1::placesControls()
{
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QRect, pixels);

    auto* control = form_->findChild<QWidget*>(name);
    QVERIFY(control);
    QCOMPARE(control->geometry(), pixels);
    if (auto* label = qobject_cast<QLabel*>(control))
        QCOMPARE(label->text(), caption);
    else if (auto* push = qobject_cast<QPushButton*>(control))
        QCOMPARE(push->text(), caption);
    else
        QCOMPARE(qobject_cast<QLineEdit*>(control)->text(), caption);

    // a larger window moves nothing
    form_->resize(900, 700);
    QCOMPARE(control->geometry(), pixels);
}

// Every caption is read in full in its fixed rectangle, in the narrow face
// at 8 points or more (the test command installs the face).
void TestForm1::captionsFitTheirControls()
{
    qInfo("caption font: %s %.1f pt", qPrintable(form_->font().family()), form_->font().pointSizeF());
    const auto labels = form_->findChildren<QLabel*>(QRegularExpression(QStringLiteral("^Label\\d+$")));
    QCOMPARE(labels.size(), 11);
    for (const QLabel* label : labels)
        QVERIFY2(app::window::inkFits(label->font(), label->text(), label->contentsRect(),
                                      Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap),
                 qPrintable(label->objectName()));
    const auto buttons = form_->findChildren<app::window::CaptionButton*>();
    QCOMPARE(buttons.size(), 7);
    for (const app::window::CaptionButton* b : buttons) {
        if (b->text().isEmpty())
            continue;
        QVERIFY2(app::window::inkFits(b->font(), b->text(), b->captionRect(), app::window::CaptionButton::captionFlags),
                 qPrintable(b->objectName()));
    }
    // a caption that needs a third line in a two-line box is caught
    QVERIFY(!app::window::inkFits(form_->font(), QStringLiteral("Operating time of the motor in minutes:"),
                                  QRect(0, 0, 73, 25), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap));
    const QString narrow = QStringLiteral("Liberation Sans Narrow");
    if (QFontInfo(QFont(narrow)).family() != narrow)
        QSKIP("Liberation Sans Narrow is not installed (Debian fonts-liberation): its size is not checked");
    QCOMPARE(form_->font().family(), narrow);
    QVERIFY(form_->font().pointSizeF() >= 8.0);
}

// At start the focus is on Text1, so typing goes straight into the rating.
void TestForm1::focusStartsOnText1()
{
    app::window::Form1 fresh(*box_, fileDialog_, *module_, recorded_->record(), QStringLiteral("Port: recording"));
    fresh.show();
    fresh.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&fresh));
    QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("Text1"));
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("380"));
    QCOMPARE(fresh.findChild<QLineEdit*>(QStringLiteral("Text1"))->text(), QStringLiteral("380"));
}

// The icon is drawn (the SVG plugin is there) on the window and on the
// windows it opens.
void TestForm1::everyWindowShowsTheIcon()
{
    const QImage icon = form_->windowIcon().pixmap(32, 32).toImage();
    QVERIFY(!icon.isNull());
    QVERIFY(icon.pixelColor(16, 16).alpha() > 0);
    QTest::mouseClick(form_->findChild<QPushButton*>(QStringLiteral("OpenMonitor")), Qt::LeftButton);
    QVERIFY(form_->monitor());
    QCOMPARE(form_->monitor()->windowIcon().pixmap(32, 32).toImage(), icon);
}

// The window cannot be made so small that RUN, STOP or EXIT is cut off.
void TestForm1::windowKeepsItsControlsInView()
{
    form_->resize(100, 100);
    const QRect client = form_->rect();
    for (int number : {1, 3, 4})
        QVERIFY2(client.contains(button(number)->geometry()), qPrintable(button(number)->objectName()));
    const QWidget* strip = form_->findChild<QWidget*>(QStringLiteral("StatusStrip"));
    QVERIFY(client.contains(strip->geometry()));
}

void TestForm1::tabVisitsControlsInOrder()
{
    const QStringList expected = {
        "Text2", "Text3", "Text4", "Text5", "Text6", "Text7", "Text8", "Text9", "Command1",
        "Command2", "Text10", "Command3", "Command4", "Command5", "Command6", "Command7",
        // then the strip's buttons, below the operator's area, and round again
        "OpenMonitor", "TimingSelfTest", "Text1"};
    field(1)->setFocus(Qt::OtherFocusReason);
    QStringList visited;
    for (int i = 0; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited, expected);
    // leaving the empty power-factor field on the way showed nothing
    QCOMPARE(box_->shown, QStringList());
}

void TestForm1::dividerBarsDoNothing()
{
    fill({{1, "380"}, {6, "4"}, {7, "900"}, {8, "7.6"}});
    QTest::mouseClick(button(2), Qt::LeftButton);
    const drive::HeldValues before = form_->heldValues();
    for (int n : {5, 6, 7})
        QTest::mouseClick(button(n), Qt::LeftButton, {}, QPoint(2, 2));
    QCOMPARE(field(10)->text(), QStringLiteral("228"));
    QCOMPARE(form_->heldValues().stepTime, before.stepTime);
    QCOMPARE(box_->shown, QStringList());
    QVERIFY(form_->isVisible());
}

void TestForm1::exitClosesTheWindow()
{
    QTest::mouseClick(button(4), Qt::LeftButton);
    QVERIFY(!form_->isVisible());
}

// ---- Required Voltage

void TestForm1::requiredVoltage_data()
{
    QTest::addColumn<QString>("poles");
    QTest::addColumn<QString>("speed");
    QTest::addColumn<QString>("voltsPerHertz");
    QTest::addColumn<QString>("rating");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<double>("stepTime");
    QTest::addColumn<QStringList>("boxes");

    // The computation is drive::computeSetPoint's, tested with it; here the
    // fields it reads, what Text10 shows and the box.
    QTest::newRow("30 Hz, 228 V")      << "4" << "900" << "7.6" << "380" << "228" << 2.380952380952381 << QStringList();
    QTest::newRow("45 Hz, 229.49999999999997 V shown as 229.5")
                                       << "6" << "900" << "5.1" << "380" << "229.5" << 1.5873015873015872 << QStringList();
    QTest::newRow("empty rating")      << "4" << "900" << "7.6" << "" << "old" << 2.380952380952381 << QStringList{refusedBox};
    QTest::newRow("texts with units")  << " 4 " << "900 rpm" << "7.6V" << "380 V" << "228" << 2.380952380952381 << QStringList();
}

void TestForm1::requiredVoltage()
{
    QFETCH(QString, poles);
    QFETCH(QString, speed);
    QFETCH(QString, voltsPerHertz);
    QFETCH(QString, rating);
    QFETCH(QString, shown);
    QFETCH(double, stepTime);
    QFETCH(QStringList, boxes);
    fill({{5, "9999"}, {10, "old"}, {1, rating}, {6, poles}, {7, speed}, {8, voltsPerHertz}});

    QTest::mouseClick(button(2), Qt::LeftButton);

    QCOMPARE(field(10)->text(), shown);
    QCOMPARE(exact(form_->heldValues().stepTime), exact(stepTime));
    QCOMPARE(box_->shown, boxes);
}

void TestForm1::refusalStillStoresStepTime()
{
    fill({{1, "228"}, {6, "4"}, {7, "900"}, {8, "7.6"}, {10, "old"}});
    QTest::mouseClick(button(2), Qt::LeftButton);
    QCOMPARE(box_->shown, QStringList{refusedBox});
    QCOMPARE(field(10)->text(), QStringLiteral("old"));
    QCOMPARE(form_->heldValues().stepTime, 2.380952380952381);
    QCOMPARE(form_->heldValues().requiredVoltage, 228.0);
}

void TestForm1::zeroFrequencyKeepsTiming_data()
{
    QTest::addColumn<QString>("poles");
    QTest::addColumn<QString>("speed");
    QTest::addColumn<QString>("prompt");
    const QString zero = QStringLiteral(
        "Error value | The frequency is 0 Hz: enter a number of poles and a demanded speed other than 0");
    const QString range = QStringLiteral(
        "Error value | The frequency is too large or too small to divide into steps: enter a number "
        "of poles and a demanded speed of ordinary size");
    // which entries give no period is computeSetPoint's rule, tested with it
    QTest::newRow("speed 0")         << "4" << "0" << zero;
    QTest::newRow("speed 1e308")     << "4" << "1e308" << range;
}

void TestForm1::zeroFrequencyKeepsTiming()
{
    QFETCH(QString, poles);
    QFETCH(QString, speed);
    QFETCH(QString, prompt);
    fill({{1, "380"}, {6, "4"}, {7, "900"}, {8, "7.6"}});
    QTest::mouseClick(button(2), Qt::LeftButton);
    fill({{6, poles}, {7, speed}});

    QTest::mouseClick(button(2), Qt::LeftButton);

    QCOMPARE(box_->shown, QStringList{prompt});
    QCOMPARE(field(10)->text(), QStringLiteral("228"));
    QCOMPARE(exact(form_->heldValues().stepTime), QStringLiteral("2.380952380952381"));
    QCOMPARE(exact(form_->heldValues().period), QStringLiteral("0.03333333333333333"));
}

// A comma locale shows the fraction with its comma instead of dropping it.
void TestForm1::requiredVoltageInCommaLocale()
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    fill({{1, "380"}, {6, "6"}, {7, "900"}, {8, "5.1"}});
    QTest::mouseClick(button(2), Qt::LeftButton);
    QCOMPARE(field(10)->text(), QStringLiteral("229,5"));
    // the fields still read the full stop, and the comma ends a number
    fill({{8, "5,1"}});
    QTest::mouseClick(button(2), Qt::LeftButton);
    QCOMPARE(field(10)->text(), QStringLiteral("225"));
    QCOMPARE(form_->findChild<QLabel*>(QStringLiteral("FieldReading"))->text(),
             QStringLiteral("V/f read as 5 from '5,1'"));
    fill({{8, "5.1x"}});
    QTest::mouseClick(button(2), Qt::LeftButton);
    QCOMPARE(form_->findChild<QLabel*>(QStringLiteral("FieldReading"))->text(),
             QStringLiteral("V/f read as 5,1 from '5.1x'"));
}

// Required Voltage says on the strip how it read a field whose text held
// more than the number it gave; the reading itself is unchanged.
void TestForm1::fieldReadingNote_data()
{
    QTest::addColumn<QString>("rating");
    QTest::addColumn<QString>("poles");
    QTest::addColumn<QString>("speed");
    QTest::addColumn<QString>("voltsPerHertz");
    QTest::addColumn<QString>("note");

    QTest::newRow("all clean")        << "380" << "4" << "900" << "7.6" << "";
    QTest::newRow("blanks are skipped, not more") << " 380 " << "4\n" << "9 00" << "\t7.6" << "";
    QTest::newRow("hex form")         << "380" << "&H4" << "900" << "7.6" << "";
    QTest::newRow("empty reads 0, no note") << "" << "4" << "900" << "7.6" << "";
    QTest::newRow("comma and letter") << "380" << "4" << "900" << "7,6x" << "V/f read as 7 from '7,6x'";
    QTest::newRow("second point")     << "380" << "4" << "900" << "7.6.1" << "V/f read as 7.6 from '7.6.1'";
    QTest::newRow("letters only")     << "380" << "abc" << "900" << "7.6" << "# of poles read as 0 from 'abc'";
    QTest::newRow("every field, in the window's order")
        << "380 V" << "4 poles" << "900 rpm" << "7.6V"
        << "Voltage read as 380 from '380 V'; # of poles read as 4 from '4 poles'; "
           "Speed read as 900 from '900 rpm'; V/f read as 7.6 from '7.6V'";
    QTest::newRow("a long text is cut") << "380" << "4" << "900" << "7.6 volts per hertz"
                                        << "V/f read as 7.6 from '7.6 volts per h…'";
    QTest::newRow("a pasted line feed stays on the line") << "380" << "4" << "900" << "7.6\nx"
                                                          << "V/f read as 7.6 from '7.6 x'";
}

void TestForm1::fieldReadingNote()
{
    QFETCH(QString, rating);
    QFETCH(QString, poles);
    QFETCH(QString, speed);
    QFETCH(QString, voltsPerHertz);
    QFETCH(QString, note);
    auto* strip = form_->findChild<QLabel*>(QStringLiteral("FieldReading"));
    fill({{1, "380"}, {6, "4"}, {7, "900"}, {8, "7,6"}});
    QTest::mouseClick(button(2), Qt::LeftButton);  // a note from before
    fill({{1, rating}, {6, poles}, {7, speed}, {8, voltsPerHertz}});
    QStringList noteWhileBoxOpen;
    box_->whileShown = [&] { noteWhileBoxOpen << strip->text(); };

    QTest::mouseClick(button(2), Qt::LeftButton);

    QCOMPARE(strip->text(), note);
    for (const QString& shown : noteWhileBoxOpen)
        QCOMPARE(shown, note);
    // a line of the strip's own, not squeezed by the others
    const auto* whole = form_->findChild<QWidget*>(QStringLiteral("StatusStrip"));
    QVERIFY(whole->minimumSizeHint().height() <= whole->height());
}

// ---- input checks

void TestForm1::powerCheckAtEveryKey()
{
    typeInto(3, "2500");
    QCOMPARE(box_->shown, QStringList{powerBox});
    QTest::keyClick(field(3), Qt::Key_0);
    QCOMPARE(box_->shown, (QStringList{powerBox, powerBox}));
    box_->shown.clear();
    field(3)->clear();
    typeInto(3, "2000");
    QCOMPARE(box_->shown, QStringList());
}

void TestForm1::powerFactorCheckOnLeaving_data()
{
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QStringList>("boxes");
    // which texts pass is app::fields::powerFactorPasses's rule, tested with it
    QTest::newRow("1")        << "1" << QStringList{powerFactorBox};
    QTest::newRow("0.61")     << "0.61" << QStringList();
}

void TestForm1::powerFactorCheckOnLeaving()
{
    QFETCH(QString, keys);
    QFETCH(QStringList, boxes);

    typeInto(4, keys);
    QCOMPARE(box_->shown, QStringList());  // editing without leaving shows nothing
    QTest::keyClick(field(4), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), field(5));
    QCOMPARE(box_->shown, boxes);

    // leaving backwards and by a click counts too
    box_->shown.clear();
    field(4)->setFocus(Qt::TabFocusReason);
    QTest::keyClick(field(4), Qt::Key_Backtab);
    field(4)->setFocus(Qt::TabFocusReason);
    QTest::mouseClick(field(7), Qt::LeftButton);
    QTRY_COMPARE(box_->shown, boxes + boxes);  // once the click has completed
}

void TestForm1::powerFactorIgnoresWindowDeactivation()
{
    typeInto(4, "1");
    QFocusEvent deactivated(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    QApplication::sendEvent(field(4), &deactivated);
    QFocusEvent popup(QEvent::FocusOut, Qt::PopupFocusReason);
    QApplication::sendEvent(field(4), &popup);
    QCOMPARE(box_->shown, QStringList());
}

void TestForm1::speedChecksWhileTyping_data()
{
    QTest::addColumn<int>("target");
    QTest::addColumn<QString>("rated");
    QTest::addColumn<QString>("poles");
    QTest::addColumn<QString>("speed");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QStringList>("boxes");

    QTest::newRow("2 poles, 2200 typed")  << 7 << "3000" << "2" << "" << "2200" << QStringList{twoPoleBox};
    QTest::newRow("4 poles, 1100 typed")  << 7 << "3000" << "4" << "" << "1100" << QStringList{fourPoleBox};
    QTest::newRow("2 typed under 2500")   << 6 << "3000" << "" << "2500" << "2" << QStringList{twoPoleBox};
    QTest::newRow("2.5 typed under 2500") << 6 << "3000" << "" << "2500" << "2.5" << (QStringList{twoPoleBox, twoPoleBox});  // "2" and "2." read 2
    QTest::newRow("no rated speed")       << 7 << "" << "6" << "" << "05" << QStringList{ratedBox};
}

// Each altering key is one change; a limit passed warns at that key.
void TestForm1::speedChecksWhileTyping()
{
    QFETCH(int, target);
    QFETCH(QString, rated);
    QFETCH(QString, poles);
    QFETCH(QString, speed);
    QFETCH(QString, keys);
    QFETCH(QStringList, boxes);
    fill({{5, rated}, {6, poles}, {7, speed}});

    typeInto(target, keys);

    QCOMPARE(box_->shown, boxes);
}

void TestForm1::twoBoxesInOrder()
{
    fill({{5, "1000"}, {6, "4"}, {7, "110"}});
    QStringList fieldsWhileShown;
    box_->whileShown = [&] { fieldsWhileShown << field(7)->text(); };
    QTest::keyClick(field(7), Qt::Key_0);
    QCOMPARE(box_->shown, (QStringList{ratedBox, fourPoleBox}));
    QCOMPARE(fieldsWhileShown, (QStringList{"1100", "1100"}));
}

void TestForm1::clearingSpeedShowsNoRatedBox()
{
    fill({{5, ""}, {6, "6"}, {7, "900"}});
    field(7)->clear();
    QCOMPARE(box_->shown, QStringList());
}

// A person holds the button some 100-200 ms. The press that takes the focus
// from P.F. must not open its box while the button is held: the box would
// take the release, the click would never happen and STOP would stay drawn
// pressed with the run going on. Real boxes, real window-system events.
void TestForm1::clickThatLeavesPowerFactorCompletes_data()
{
    QTest::addColumn<int>("clicked");
    QTest::addColumn<QString>("rating");  // Text1 at the click
    QTest::addColumn<bool>("runFirst");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<bool>("aliveAfter");
    QTest::addColumn<QString>("voltage");  // Text10 after, cleared before the click
    QTest::addColumn<bool>("openAfter");

    QTest::newRow("STOP ends the run")       << 3 << "380" << true << QStringList{powerFactorBox} << false << "" << true;
    QTest::newRow("RUN starts the run")      << 1 << "380" << false << QStringList{powerFactorBox} << true << "" << true;
    QTest::newRow("Required Voltage")        << 2 << "380" << false << QStringList{powerFactorBox} << false << "228" << true;
    QTest::newRow("Required Voltage refused, its box first")
        << 2 << "228" << false << QStringList{refusedBox, powerFactorBox} << false << "" << true;
    QTest::newRow("EXIT ends with no box")   << 4 << "380" << true << QStringList() << false << "" << false;
}

void TestForm1::clickThatLeavesPowerFactorCompletes()
{
    QFETCH(int, clicked);
    QFETCH(QString, rating);
    QFETCH(bool, runFirst);
    QFETCH(QStringList, boxes);
    QFETCH(bool, aliveAfter);
    QFETCH(QString, voltage);
    QFETCH(bool, openAfter);

    realBox_ = std::make_unique<app::window::ModalMessageBox>();
    form_ = std::make_unique<app::window::Form1>(*realBox_, fileDialog_, *module_, recorded_->record(),
                                         QStringLiteral("Port: recording"));
    realBox_->setParent(form_.get());
    form_->show();
    form_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(form_.get()));
    fill({{1, "380"}, {5, "1500"}, {6, "4"}, {7, "900"}, {8, "7.6"}});
    QTest::mouseClick(button(2), Qt::LeftButton);  // 30 Hz
    if (runFirst) {
        QTest::mouseClick(button(1), Qt::LeftButton);
        QTRY_VERIFY(port_->size() >= 2);
    }
    fill({{1, rating}, {10, ""}});
    typeInto(4, "1");

    // Boxes are closed only once the button is up again, as a person reads
    // a box after the click; two open at once would be one over the other.
    bool released = false;
    QStringList shown;
    bool clickedDownAtABox = false;
    bool twoAtOnce = false;
    QTimer closer;
    closer.setInterval(10);
    connect(&closer, &QTimer::timeout, this, [&] {
        if (!released)
            return;
        QList<QMessageBox*> open;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
                open.append(box);
        if (open.isEmpty())
            return;
        twoAtOnce = twoAtOnce || open.size() > 1;
        clickedDownAtABox = clickedDownAtABox || button(clicked)->isDown();
        QMessageBox* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            box = open.last();
        shown.append(box->windowTitle() + QStringLiteral(" | ") + box->text());
        box->accept();
    });
    closer.start();

    QWindow* window = form_->windowHandle();
    const QPoint at = window->mapFromGlobal(button(clicked)->mapToGlobal(button(clicked)->rect().center()));
    QTimer::singleShot(150, this, [&] {
        released = true;  // before the release: a box its click opens is closed as it opens
        QTest::mouseRelease(window, Qt::LeftButton, {}, at);
    });
    QTest::mousePress(window, Qt::LeftButton, {}, at);

    QTRY_VERIFY(released);
    QTRY_COMPARE(shown.size(), boxes.size());
    QTRY_COMPARE(form_->isVisible(), openAfter);
    QCoreApplication::processEvents();  // a check left waiting would open its box now
    QCOMPARE(shown, boxes);
    QVERIFY(!clickedDownAtABox);
    QVERIFY(!twoAtOnce);
    QVERIFY(!button(clicked)->isDown());
    QTRY_COMPARE(form_->readoutPolling(), aliveAfter);
    if (!voltage.isEmpty())
        QCOMPARE(field(10)->text(), voltage);
    if (runFirst) {
        const auto writes = port_->writes();
        QCOMPARE(writes[writes.size() - 2].value, port::pattern::idleData);
        QCOMPARE(writes[writes.size() - 1].value, port::pattern::idleControl);
    }
    if (aliveAfter) {
        QTRY_VERIFY(port_->size() >= 2);
        QTest::mouseClick(button(3), Qt::LeftButton);
        QTRY_VERIFY(!form_->readoutPolling());
    }
}

// ---- RUN, STOP and EXIT

using Writes = QList<QPair<int, int>>;

static Writes writesOf(const RecordingPort& port)
{
    Writes writes;
    for (const RecordingPort::Write& w : port.writes())
        writes.append({w.address, w.value});
    return writes;
}

void TestForm1::stopRightAfterStart()
{
    QTest::mouseClick(button(3), Qt::LeftButton);
    QCOMPARE(writesOf(*port_), (Writes{{0x378, 0}, {0x37A, 2}}));
    QTest::mouseClick(button(3), Qt::LeftButton);
    QCOMPARE(writesOf(*port_).size(), 4);
}

void TestForm1::runPrintsCountAndDrivesThePort()
{
    fill({{1, "380"}, {6, "4"}, {7, "900"}, {8, "7.6"}, {9, "15"}});
    QTest::mouseClick(button(2), Qt::LeftButton);
    const drive::HeldValues held = form_->heldValues();

    QTest::mouseClick(button(1), Qt::LeftButton);
    QCOMPARE(form_->printedLine(), QStringLiteral("23809"));
    QCOMPARE(field(9)->text(), QStringLiteral("0"));
    auto* runState = form_->findChild<QLabel*>(QStringLiteral("RunState"));
    QVERIFY2(runState->text().startsWith(QStringLiteral("Running: delay count 23809, defined ")),
             qPrintable(runState->text()));
    QTRY_VERIFY(port_->size() >= 2);
    QCOMPARE(writesOf(*port_).mid(0, 2), (Writes{{0x378, 0x60}, {0x37A, 0}}));

    QTest::mouseClick(button(3), Qt::LeftButton);
    QVERIFY(runState->text().startsWith(QStringLiteral("Stopping")));
    QTRY_COMPARE(runState->text(), QStringLiteral("Stopped after the cycle under way"));
    const Writes writes = writesOf(*port_);
    QCOMPARE(writes.mid(writes.size() - 2), (Writes{{0x378, 0}, {0x37A, 2}}));
    QCOMPARE((writes.size() - 2) % 28, 0);  // whole cycles before the idle values
    QVERIFY(!port_->overlapped());

    // STOP touched no field and no held value
    QCOMPARE(field(9)->text(), QStringLiteral("0"));
    QCOMPARE(field(10)->text(), QStringLiteral("228"));
    QCOMPARE(form_->heldValues().stepTime, held.stepTime);
    QCOMPARE(box_->shown, QStringList());
}

void TestForm1::runBeforeRequiredVoltage()
{
    QTest::mouseClick(button(1), Qt::LeftButton);
    QCOMPARE(form_->printedLine(), QStringLiteral("0"));
    QTRY_VERIFY(port_->size() >= 28);
    QTest::mouseClick(button(3), Qt::LeftButton);
    QTRY_COMPARE(form_->findChild<QLabel*>(QStringLiteral("RunState"))->text(), QStringLiteral("Stopped after the cycle under way"));
}

// EXIT or closing the window while a run is alive: the run ends at once,
// its last step whole, and the idle pair is the last thing written.
void TestForm1::leavingWhileRunningEndsIdle_data()
{
    QTest::addColumn<bool>("exitButton");
    QTest::addColumn<QString>("speed");  // demanded, with 4 poles: the output frequency
    QTest::newRow("EXIT at 30 Hz") << true << QStringLiteral("900");
    QTest::newRow("EXIT at 1 Hz") << true << QStringLiteral("30");
    QTest::newRow("closing at 30 Hz") << false << QStringLiteral("900");
    QTest::newRow("closing at 0.001 Hz") << false << QStringLiteral("0.03");
}

void TestForm1::leavingWhileRunningEndsIdle()
{
    QFETCH(bool, exitButton);
    QFETCH(QString, speed);
    fill({{1, QStringLiteral("380")}, {6, QStringLiteral("4")}, {7, speed}, {8, QStringLiteral("1")}});
    QTest::mouseClick(button(2), Qt::LeftButton);
    QTest::mouseClick(button(1), Qt::LeftButton);
    QTRY_VERIFY(port_->size() >= 2);
    if (exitButton)
        QTest::mouseClick(button(4), Qt::LeftButton);
    else
        form_->close();
    QVERIFY(!form_->isVisible());
    const auto writes = port_->writes();
    const std::size_t n = writes.size();
    QCOMPARE(n % 2, std::size_t{0});  // whole pairs only
    QCOMPARE(writes[n - 2].address, port::backend::dataPort);
    QCOMPARE(writes[n - 2].value, port::pattern::idleData);
    QCOMPARE(writes[n - 1].address, port::backend::controlPort);
    QCOMPARE(writes[n - 1].value, port::pattern::idleControl);
    for (std::size_t at = 0; at + 2 < n; at += 2) {
        QCOMPARE(writes[at].value, expectedStep(at / 2).data);
        QCOMPARE(writes[at + 1].value, expectedStep(at / 2).control);
    }
    // nothing more: not from STOP afterwards, nor from closing again, nor
    // from anything they queued
    QTest::mouseClick(button(3), Qt::LeftButton);
    form_->close();
    QCoreApplication::processEvents();
    QCOMPARE(port_->size(), n);
}

void TestForm1::exitWhenIdleWritesNothing()
{
    QTest::mouseClick(button(4), Qt::LeftButton);
    QVERIFY(!form_->isVisible());
    QCOMPARE(port_->size(), std::size_t{0});
}

// Counts the pixels of the printed line's corner that differ from the background.
static int inkInCorner(QWidget& form)
{
    const QImage image = form.grab(QRect(0, 0, 40, 14)).toImage();
    const QRgb background = image.pixel(39, 13);
    int ink = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ink += image.pixel(x, y) != background;
    return ink;
}

void TestForm1::printedLineSurvivesRepaint()
{
    QCOMPARE(inkInCorner(*form_), 0);
    QTest::mouseClick(button(1), Qt::LeftButton);
    QTest::mouseClick(button(3), Qt::LeftButton);
    const int printed = inkInCorner(*form_);
    QVERIFY(printed > 0);
    form_->repaint();
    QCOMPARE(inkInCorner(*form_), printed);
    QTRY_COMPARE(form_->findChild<QLabel*>(QStringLiteral("RunState"))->text(), QStringLiteral("Stopped after the cycle under way"));
}

// F12 does what a click on STOP does, wherever the focus is; a held key that
// repeats is one press, not the second STOP that ends a run at once.
void TestForm1::stopKey_data()
{
    QTest::addColumn<bool>("run");
    QTest::addColumn<bool>("repeats");
    QTest::addColumn<QString>("runState");
    QTest::newRow("no run: the idle pair") << false << false << "Idle";
    QTest::newRow("a 30 Hz run completes its cycle") << true << false << "Stopped after the cycle under way";
    QTest::newRow("a held key is one press") << true << true << "Stopped after the cycle under way";
}

void TestForm1::stopKey()
{
    QFETCH(bool, run);
    QFETCH(bool, repeats);
    QFETCH(QString, runState);
    QVERIFY(button(3)->toolTip().contains(QStringLiteral("F12")));
    fill({{1, "380"}, {6, "4"}, {7, "900"}, {8, "7.6"}});
    QTest::mouseClick(button(2), Qt::LeftButton);  // 30 Hz
    if (run) {
        QTest::mouseClick(button(1), Qt::LeftButton);
        QTRY_VERIFY(port_->size() >= 28);
    }
    field(8)->setFocus(Qt::TabFocusReason);

    QTest::keyClick(field(8), Qt::Key_F12);
    if (repeats) {
        QKeyEvent repeat(QEvent::KeyPress, Qt::Key_F12, Qt::NoModifier, QString(), true);
        QApplication::sendEvent(field(8), &repeat);
    }

    QTRY_VERIFY(!form_->readoutPolling());
    QTRY_COMPARE(form_->findChild<QLabel*>(QStringLiteral("RunState"))->text(), runState);
    const Writes writes = writesOf(*port_);
    QVERIFY(writes.size() >= 2);
    QCOMPARE(writes.mid(writes.size() - 2), (Writes{{0x378, 0}, {0x37A, 2}}));
    if (!run)
        QCOMPARE(writes.size(), 2);
    QCOMPARE(field(8)->text(), QStringLiteral("7.6"));
}

// The open modal box, or nullptr.
static QWidget* openBox()
{
    QWidget* box = QApplication::activeModalWidget();
    return box && box->isVisible() ? box : nullptr;
}

// A window that opens real modal boxes, running at 30 Hz, in place of the
// recording one: two windows would share the port.
static void startWithRealBoxes(std::unique_ptr<app::window::Form1>& recording, app::window::Form1& form, app::window::ModalMessageBox& boxes)
{
    recording.reset();
    boxes.setParent(&form);
    form.show();
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    for (const auto& [number, text] : {std::pair{1, "380"}, {5, "1500"}, {6, "4"}, {7, "900"}, {8, "7.6"}})
        form.findChild<QLineEdit*>(QStringLiteral("Text%1").arg(number))->setText(QString::fromLatin1(text));
    QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("Command2")), Qt::LeftButton);
    QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("Command1")), Qt::LeftButton);
    QTRY_VERIFY(form.readoutPolling());
}

// Types a power above the limit into the form, whose check opens a real
// modal box at the last key; while the box's own event loop runs, act is
// called every 10 ms with the box and its focus, as the keyboard reaches it,
// until it says it is done.
static void typePowerOverLimit(app::window::Form1& form, const std::function<bool(QWidget* box, QWidget* focus)>& act)
{
    QTimer inBox;
    inBox.setInterval(10);
    QObject::connect(&inBox, &QTimer::timeout, &form, [&] {
        QWidget* box = openBox();
        if (box && act(box, box->focusWidget() ? box->focusWidget() : box))
            inBox.stop();
    });
    inBox.start();
    auto* power = form.findChild<QLineEdit*>(QStringLiteral("Text3"));
    power->setFocus(Qt::TabFocusReason);
    QTest::keyClicks(power, QStringLiteral("2500"));
}

// The key reaches STOP while a real modal box of the field checks is open
// over a run: sent to the box, which has the focus, as the keyboard would.
void TestForm1::stopKeyThroughARealBox()
{
    app::window::ModalMessageBox boxes;
    app::window::Form1 form(boxes, fileDialog_, *module_, recorded_->record(), QStringLiteral("Port: recording"));
    startWithRealBoxes(form_, form, boxes);
    QTRY_VERIFY(port_->size() >= 28);

    // F12 to the box, then, once the run has ended or the wait has given
    // up, OK.
    QString boxTitle;
    bool keySent = false;
    bool endedWhileOpen = false;
    int waits = 0;
    constexpr int giveUpAfter = 2000;  // of 10 ms
    typePowerOverLimit(form, [&](QWidget* box, QWidget* focus) {
        if (!keySent) {
            boxTitle = box->windowTitle();
            QTest::keyClick(focus, Qt::Key_F12);
            keySent = true;
            return false;
        }
        endedWhileOpen = !form.readoutPolling();
        if (!endedWhileOpen && ++waits < giveUpAfter)
            return false;
        QTest::keyClick(focus, Qt::Key_Return);  // OK
        return true;
    });

    QVERIFY(keySent);
    QCOMPARE(boxTitle, QStringLiteral("Frequency Converter"));
    QVERIFY(endedWhileOpen);
    QVERIFY(!openBox());
    const Writes writes = writesOf(*port_);
    QCOMPARE(writes.mid(writes.size() - 2), (Writes{{0x378, 0}, {0x37A, 2}}));
}

// OK on a real box, then a click on STOP: the run ends; nothing of the box
// is left in the way.
void TestForm1::stopClickRightAfterOk()
{
    app::window::ModalMessageBox boxes;
    app::window::Form1 form(boxes, fileDialog_, *module_, recorded_->record(), QStringLiteral("Port: recording"));
    startWithRealBoxes(form_, form, boxes);

    bool okPressed = false;
    typePowerOverLimit(form, [&](QWidget*, QWidget* focus) {
        QTest::keyClick(focus, Qt::Key_Return);
        okPressed = true;
        return true;
    });
    QVERIFY(okPressed);
    QVERIFY(form.readoutPolling());  // the run went on behind the box

    QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("Command3")), Qt::LeftButton);

    QTRY_VERIFY(!form.readoutPolling());
    QVERIFY(!openBox());
    const Writes writes = writesOf(*port_);
    QCOMPARE(writes.mid(writes.size() - 2), (Writes{{0x378, 0}, {0x37A, 2}}));
}

void TestForm1::stripText_data()
{
    using port::run::SequencerState;
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("afterRun");
    QTest::addColumn<double>("measured");  // < 0: no reading; -2, -3: stopped after the cycle, at once
    QTest::addColumn<qint64>("latenessNs");
    QTest::addColumn<QString>("stateText");
    QTest::addColumn<QString>("figuresText");

    QTest::newRow("idle at start") << int(SequencerState::Idle) << false << -1.0 << qint64(0)
                                   << "Idle" << "";
    QTest::newRow("running, no reading yet")
        << int(SequencerState::Running) << false << -1.0 << qint64(0)
        << "Running: delay count 120, defined 50 Hz, measured —" << "7 cycles, largest lateness 0 µs";
    QTest::newRow("running, measured")
        << int(SequencerState::Running) << false << 49.9812 << qint64(12'345)
        << "Running: delay count 120, defined 50 Hz, measured 49.9812 Hz"
        << "7 cycles, largest lateness 12.3 µs";
    QTest::newRow("stopping, lateness in ms")
        << int(SequencerState::Stopping) << false << 50.0 << qint64(2'500'000)
        << "Stopping: the cycle under way completes, then the port goes idle"
        << "7 cycles, largest lateness 2.50 ms";
    QTest::newRow("idle after a run") << int(SequencerState::Idle) << true << -1.0 << qint64(999'000)
                                      << "Idle" << "Last run: 7 cycles, largest lateness 999 µs";
    // check the lateness at the unit boundaries: µs below 1 ms, never an exponent
    QTest::newRow("lateness 999.4 µs") << int(SequencerState::Running) << false << 50.0 << qint64(999'400)
                                       << "Running: delay count 120, defined 50 Hz, measured 50 Hz"
                                       << "7 cycles, largest lateness 999 µs";
    QTest::newRow("lateness 999.6 µs reads 1.00 ms")
        << int(SequencerState::Running) << false << 50.0 << qint64(999'600)
        << "Running: delay count 120, defined 50 Hz, measured 50 Hz" << "7 cycles, largest lateness 1.00 ms";
    QTest::newRow("lateness once 1.83e+03 µs") << int(SequencerState::Idle) << true << -1.0 << qint64(1'830'000)
                                              << "Idle" << "Last run: 7 cycles, largest lateness 1.83 ms";
    QTest::newRow("lateness of a minute") << int(SequencerState::Idle) << true << -1.0 << qint64(59'960'000'000)
                                          << "Idle" << "Last run: 7 cycles, largest lateness 1.00 min";
    QTest::newRow("stopped after the cycle") << int(SequencerState::Idle) << true << -2.0 << qint64(0)
                                             << "Stopped after the cycle under way"
                                             << "Last run: 7 cycles, largest lateness 0 µs";
    QTest::newRow("stopped at once") << int(SequencerState::Idle) << true << -3.0 << qint64(0)
                                     << "Stopped at once: the cycle would have taken 12.4 s"
                                     << "Last run: 7 cycles, largest lateness 0 µs";
}

void TestForm1::stripText()
{
    QFETCH(int, state);
    QFETCH(bool, afterRun);
    QFETCH(double, measured);
    QFETCH(qint64, latenessNs);
    port::run::RunReadout readout;
    readout.state = static_cast<port::run::SequencerState>(state);
    readout.afterRun = afterRun;
    readout.delayCount = 120;
    readout.definedFrequency = 50.0;
    if (measured >= 0)
        readout.measuredFrequency = measured;
    if (measured == -2.0)
        readout.lastStop = port::run::StopOutcome{port::run::StopOutcome::Kind::AfterCycle, {}};
    if (measured == -3.0)
        readout.lastStop = port::run::StopOutcome{port::run::StopOutcome::Kind::AtOnce, std::chrono::milliseconds(12'400)};
    readout.cycles = 7;
    readout.largestLateness = std::chrono::nanoseconds(latenessNs);
    QTEST(app::window::StatusStrip::stateText(readout), "stateText");
    QTEST(app::window::StatusStrip::figuresText(readout), "figuresText");
}

void TestForm1::stripTextFrequency_data()
{
    QTest::addColumn<double>("hertz");
    QTest::addColumn<QString>("text");
    // six significant digits, never in exponent form
    QTest::newRow("50 Hz") << 50.0 << "50 Hz";
    QTest::newRow("measured") << 49.98123 << "49.9812 Hz";
    QTest::newRow("just under 1 kHz") << 999.9994 << "999.999 Hz";
    QTest::newRow("rounds to 1 kHz") << 999.9996 << "1 kHz";
    QTest::newRow("delay count 0") << 714285.714 << "714.286 kHz";
    QTest::newRow("a million") << 1234567.0 << "1.23457 MHz";
    QTest::newRow("a cycle a day") << 1.0 / 86400.0 << "0.0000115741 Hz";
    QTest::newRow("the longest count") << 1.23456789e-9 << "0.00000000123457 Hz";
}

void TestForm1::stripTextFrequency()
{
    QFETCH(double, hertz);
    QFETCH(QString, text);
    port::run::RunReadout readout;
    readout.state = port::run::SequencerState::Running;
    readout.delayCount = 7;
    readout.definedFrequency = hertz;
    readout.measuredFrequency = hertz;
    QCOMPARE(app::window::StatusStrip::stateText(readout),
             QStringLiteral("Running: delay count 7, defined %1, measured %1").arg(text));
}

void TestForm1::readoutPolledOnlyWhileRunning()
{
    QVERIFY(!form_->readoutPolling());
    QTest::mouseClick(button(1), Qt::LeftButton);
    QVERIFY(form_->readoutPolling());
    QTest::mouseClick(button(3), Qt::LeftButton);
    QTRY_VERIFY(!form_->readoutPolling());
    QCOMPARE(form_->findChild<QLabel*>(QStringLiteral("RunState"))->text(), QStringLiteral("Stopped after the cycle under way"));
    QVERIFY(form_->findChild<QLabel*>(QStringLiteral("RunFigures"))->text().startsWith(
        QStringLiteral("Last run: ")));
}

// With count 0 the simulated cycle is as short as the loop can make it; the
// measured figure must appear and the cycle count must grow while it runs.
void TestForm1::readoutMeasuresTheRun()
{
    QTest::mouseClick(button(1), Qt::LeftButton);
    auto* runState = form_->findChild<QLabel*>(QStringLiteral("RunState"));
    QTRY_VERIFY2(runState->text().contains(QStringLiteral("Hz, measured ")) &&
                     !runState->text().endsWith(QStringLiteral("—")),
                 qPrintable(runState->text()));
    QVERIFY(form_->findChild<QLabel*>(QStringLiteral("RunFigures"))->text().contains(
        QStringLiteral(" cycles, largest lateness ")));
    QTest::mouseClick(button(3), Qt::LeftButton);
    QTRY_COMPARE(runState->text(), QStringLiteral("Stopped after the cycle under way"));
}

// The result opens in a dialog of its own, not a box; the window stays usable.
void TestForm1::selfTestReportsInADialog()
{
    form_->setSelfTestDuration(std::chrono::milliseconds(200));
    auto* selfTest = form_->findChild<QPushButton*>(QStringLiteral("TimingSelfTest"));
    QVERIFY(selfTest);
    QTest::mouseClick(selfTest, Qt::LeftButton);
    QVERIFY(!selfTest->isEnabled());
    app::selftest::SelfTestDialog* dialog = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((dialog = form_->findChild<app::selftest::SelfTestDialog*>()) && dialog->isVisible(), 20000);
    QCOMPARE(dialog->objectName(), QStringLiteral("SelfTestDialog"));
    QVERIFY(!dialog->isModal());
    QCOMPARE(box_->shown, QStringList());
    // This window asks for no priority: the self-test says so.
    QVERIFY(dialog->findChild<QLabel*>(QStringLiteral("SelfTestTiming"))->text().startsWith(
        QStringLiteral("Timing: normal priority — other programs can delay the steps")));
    const QString verdict = dialog->findChild<QLabel*>(QStringLiteral("SelfTestVerdict"))->text();
    QVERIFY2(verdict.contains(QStringLiteral("At 30 Hz 99 % of steps start within")), qPrintable(verdict));
    QVERIFY2(verdict.contains(QStringLiteral("At 1 kHz this PC holds 99 % of steps")), qPrintable(verdict));
    QVERIFY(dialog->findChild<QLabel*>(QStringLiteral("FastFigures"))->text().startsWith(
        QStringLiteral("Half of the steps started ")));
    const QString line = form_->findChild<QLabel*>(QStringLiteral("RunState"))->text();
    QVERIFY2(line.startsWith(QStringLiteral("Timing self-test: 99 % of steps within ")), qPrintable(line));
    QVERIFY(selfTest->isEnabled());
    QCOMPARE(port_->size(), std::size_t(0));  // the self-test writes to no port
}

// A self-test that could not run has nothing to draw: the reason in the
// dialog, which holds nothing, since a run may start while it is open.
void TestForm1::selfTestFailureShowsANote()
{
    port::selftest::SelfTestResult result;
    result.failure = {port::selftest::SelfTestFailure::Kind::NoMemoryToRecord, std::chrono::seconds(60), {}};
    emit form_->findChild<app::selftest::SelfTestRunner*>()->finished(result);
    QCOMPARE(box_->shown, QStringList());
    auto* dialog = form_->findChild<app::selftest::SelfTestDialog*>();
    QVERIFY(dialog && dialog->isVisible());
    QVERIFY(!dialog->isModal());
    QCOMPARE(dialog->findChild<QLabel*>(QStringLiteral("SelfTestVerdict"))->text(),
             QStringLiteral("The timing self-test could not run: there is not enough memory to record 60 s of "
                            "steps; choose a shorter test."));
    QCOMPARE(form_->findChild<QLabel*>(QStringLiteral("RunState"))->text(),
             QStringLiteral("Timing self-test could not run"));
}

// A second self-test fills the dialog the first one opened, closed or not.
void TestForm1::selfTestDialogIsReused()
{
    auto* runner = form_->findChild<app::selftest::SelfTestRunner*>();
    port::selftest::SelfTestResult result;
    result.slow.steps = result.fast.steps = 10;
    result.fast.largestStall = std::chrono::microseconds(1'830);
    emit runner->finished(result);
    auto* dialog = form_->findChild<app::selftest::SelfTestDialog*>();
    QVERIFY(dialog && dialog->isVisible());
    dialog->close();
    result.fast.largestStall = std::chrono::microseconds(2'400);
    emit runner->finished(result);
    QCOMPARE(form_->findChildren<app::selftest::SelfTestDialog*>().size(), 1);
    QVERIFY(dialog->isVisible());
    QVERIFY(dialog->findChild<QLabel*>(QStringLiteral("FastFigures"))->text().endsWith(
        QStringLiteral("the longest stall was 2.40 ms.")));
    QCOMPARE(box_->shown, QStringList());
}

// STOP with no run writes the idle pair and refreshes the readout; the
// self-test's line stays until the self-test ends.
void TestForm1::selfTestLineSurvivesStop()
{
    form_->setSelfTestDuration(std::chrono::seconds(2));
    auto* runState = form_->findChild<QLabel*>(QStringLiteral("RunState"));
    QTest::mouseClick(form_->findChild<QPushButton*>(QStringLiteral("TimingSelfTest")), Qt::LeftButton);
    const QString measuring = runState->text();
    QCOMPARE(measuring, QStringLiteral("Timing self-test: measuring for 2.00 s on the step CPU…"));
    QTest::mouseClick(button(3), Qt::LeftButton);
    QCoreApplication::processEvents();
    QCOMPARE(runState->text(), measuring);
    QCOMPARE(port_->size(), std::size_t(2));  // STOP still left the port idle
    QTRY_VERIFY_WITH_TIMEOUT(form_->findChild<app::selftest::SelfTestDialog*>(), 20000);
    QVERIFY2(runState->text().startsWith(QStringLiteral("Timing self-test: 99 % of steps within ")),
             qPrintable(runState->text()));
    // once it has ended, STOP's own line comes back
    QTest::mouseClick(button(3), Qt::LeftButton);
    QTRY_COMPARE(runState->text(), QStringLiteral("Idle"));
}

void TestForm1::selfTestLine_data()
{
    QTest::addColumn<qint64>("slowP99");
    QTest::addColumn<qint64>("fastP99");
    QTest::addColumn<qint64>("stall");
    QTest::addColumn<QString>("line");
    QTest::newRow("microseconds and a stall in ms")
        << qint64{8'820} << qint64{23'159} << qint64{1'830'000}
        << "Timing self-test: 99 % of steps within 8.82 µs at 30 Hz, 23.2 µs at 1 kHz, longest stall 1.83 ms";
    QTest::newRow("p99 at the millisecond boundary")
        << qint64{999'400} << qint64{999'600} << qint64{999'600}
        << "Timing self-test: 99 % of steps within 999 µs at 30 Hz, 1.00 ms at 1 kHz, longest stall 1.00 ms";
    QTest::newRow("early and a stall of a minute")
        << qint64{-500} << qint64{30} << qint64{59'960'000'000}
        << "Timing self-test: 99 % of steps within -0.50 µs at 30 Hz, 0.03 µs at 1 kHz, longest stall 1.00 min";
}

void TestForm1::selfTestLine()
{
    QFETCH(qint64, slowP99);
    QFETCH(qint64, fastP99);
    QFETCH(qint64, stall);
    port::selftest::SelfTestResult result;
    result.slow.p99 = std::chrono::nanoseconds(slowP99);
    result.fast.p99 = std::chrono::nanoseconds(fastP99);
    result.slow.largestStall = std::chrono::nanoseconds(stall / 2);
    result.fast.largestStall = std::chrono::nanoseconds(stall);
    QTEST(app::window::StatusStrip::selfTestText(result), "line");
}

// Tells, from a step thread's own end, whether it has ended: set as the
// thread exits, before anyone who joins it goes on.
struct ThreadEnd {
    std::shared_ptr<std::atomic<bool>> ended;
    ~ThreadEnd()
    {
        if (ended)
            ended->store(true);
    }
};

// RUN while the self-test measures: the self-test is cut short at once and
// says so; the run starts once the self-test's step thread has ended, so two
// step threads never share the step CPU.
void TestForm1::runWaitsForTheSelfTestToEnd()
{
    auto stepThreads = std::make_shared<std::atomic<int>>(0);
    auto selfTestThreadEnded = std::make_shared<std::atomic<bool>>(false);
    // The run's step thread sets itself up first, as the window starts; the
    // self-test's is the second.
    const port::run::StepThreadSetup setup = [stepThreads, selfTestThreadEnded](int) {
        if (stepThreads->fetch_add(1) == 1) {
            thread_local ThreadEnd end;
            end.ended = selfTestThreadEnded;
        }
        return port::run::PriorityGrant{};
    };
    form_ = std::make_unique<app::window::Form1>(*box_, fileDialog_, *module_, recorded_->record(),
                                         QStringLiteral("Port: recording"), setup);
    form_->show();
    QTRY_COMPARE(stepThreads->load(), 1);
    auto firstWriteAfterSelfTest = std::make_shared<std::atomic<int>>(-1);
    port_->onWrite([firstWriteAfterSelfTest, selfTestThreadEnded](std::uint64_t index) {
        if (index == 0)
            firstWriteAfterSelfTest->store(selfTestThreadEnded->load() ? 1 : 0);
    });
    form_->setSelfTestDuration(std::chrono::seconds(60));
    auto* selfTest = form_->findChild<QPushButton*>(QStringLiteral("TimingSelfTest"));
    QTest::mouseClick(selfTest, Qt::LeftButton);
    QTRY_COMPARE(stepThreads->load(), 2);  // measuring

    QTest::mouseClick(button(1), Qt::LeftButton);
    QVERIFY(!form_->printedLine().isEmpty());
    QCOMPARE(field(9)->text(), QStringLiteral("0"));
    QVERIFY(!form_->readoutPolling());  // no run yet

    app::selftest::SelfTestDialog* dialog = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((dialog = form_->findChild<app::selftest::SelfTestDialog*>()) && dialog->isVisible(), 20000);
    const QString notice = dialog->findChild<QLabel*>(QStringLiteral("SelfTestVerdict"))->text();
    QVERIFY2(notice.startsWith(QStringLiteral("The timing self-test was cut short by RUN: a run needs the step "
                                              "CPU. Run it again with no run under way.")),
             qPrintable(notice));
    QVERIFY(!dialog->isModal());
    QVERIFY(form_->readoutPolling());  // the run is alive
    QVERIFY(!selfTest->isEnabled());
    QTRY_VERIFY(port_->size() >= 28);
    QCOMPARE(firstWriteAfterSelfTest->load(), 1);
    QCOMPARE(box_->shown, QStringList());

    QTest::mouseClick(button(3), Qt::LeftButton);
    QTRY_VERIFY(selfTest->isEnabled());  // once the window has seen the run end
}

// STOP while RUN waits for the self-test to end: no run starts; the port is
// left idle at once, as STOP with no run alive does.
void TestForm1::stopDropsTheWaitingRun()
{
    form_->setSelfTestDuration(std::chrono::seconds(60));
    QTest::mouseClick(form_->findChild<QPushButton*>(QStringLiteral("TimingSelfTest")), Qt::LeftButton);
    QTest::mouseClick(button(1), Qt::LeftButton);
    QTest::mouseClick(button(3), Qt::LeftButton);
    QCOMPARE(writesOf(*port_), (Writes{{0x378, 0}, {0x37A, 2}}));

    app::selftest::SelfTestDialog* dialog = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((dialog = form_->findChild<app::selftest::SelfTestDialog*>()) && dialog->isVisible(), 20000);
    QVERIFY(dialog->findChild<QLabel*>(QStringLiteral("SelfTestVerdict"))->text().startsWith(
        QStringLiteral("The timing self-test was cut short by RUN")));
    QCOMPARE(form_->findChild<QLabel*>(QStringLiteral("RunState"))->text(),
             QStringLiteral("Timing self-test cut short by RUN"));
    QVERIFY(!form_->readoutPolling());
    QCOMPARE(port_->size(), std::size_t(2));
    QVERIFY(form_->findChild<QPushButton*>(QStringLiteral("TimingSelfTest"))->isEnabled());
}

// The strip's timing line follows what the step thread was granted, and
// while a run is alive whether its steps leave time to sleep. The grant is
// scripted here; the ladder itself is tested below the window.
void TestForm1::stripSaysTheTiming_data()
{
    QTest::addColumn<int>("grantor");
    QTest::addColumn<QString>("idle");
    QTest::addColumn<QString>("running");
    QTest::newRow("refused") << int(port::run::PriorityGrantor::None)
                             << QStringLiteral("Timing: normal priority — other programs can delay the steps "
                                               "(see README, Real-time priority)")
                             << QStringLiteral("Timing: normal priority — other programs can delay the steps "
                                               "(see README, Real-time priority)");
    QTest::newRow("kernel") << int(port::run::PriorityGrantor::Kernel) << QStringLiteral("Timing: real-time (SCHED_FIFO 40)")
                            << QStringLiteral("Timing: real-time (SCHED_FIFO 40), sleeping between steps");
    QTest::newRow("RealtimeKit") << int(port::run::PriorityGrantor::RealtimeKit)
                                 << QStringLiteral("Timing: real-time (SCHED_RR 20, RealtimeKit)")
                                 << QStringLiteral("Timing: real-time (SCHED_RR 20, RealtimeKit), sleeping between steps");
}

void TestForm1::stripSaysTheTiming()
{
    QFETCH(int, grantor);
    QFETCH(QString, idle);
    QFETCH(QString, running);
    const auto granted = static_cast<port::run::PriorityGrantor>(grantor);
    const port::run::StepThreadSetup setup = [granted](int) {
        port::run::PriorityGrant grant;
        grant.grantor = granted;
        if (granted != port::run::PriorityGrantor::None) {
            grant.priorityClass = port::run::PriorityClass::Realtime;
            grant.priority = granted == port::run::PriorityGrantor::Kernel ? 40 : 20;
        } else {
            grant.refusal = "SCHED_FIFO 40 refused (Operation not permitted)";
        }
        return grant;
    };
    form_ = std::make_unique<app::window::Form1>(*box_, fileDialog_, *module_, recorded_->record(),
                                         QStringLiteral("Port: recording"), setup);
    form_->show();
    auto* timing = form_->findChild<QLabel*>(QStringLiteral("TimingMode"));
    QVERIFY(timing);
    QTRY_COMPARE(timing->text(), idle);
    fill({{6, QStringLiteral("4")}, {7, QStringLiteral("900")}, {8, QStringLiteral("7.6")},
          {1, QStringLiteral("380")}});
    QTest::mouseClick(button(2), Qt::LeftButton);  // 30 Hz: steps of 2.38 ms
    QTest::mouseClick(button(1), Qt::LeftButton);
    QTRY_COMPARE(timing->text(), running);
    QTest::mouseClick(button(3), Qt::LeftButton);
    QTRY_COMPARE(timing->text(), idle);
}

// At 1 Hz a cycle lasts a second: STOP ends the run at once and the strip
// says so, with what the cycle would still have taken.
void TestForm1::stopAtLowFrequencySaysItStoppedAtOnce()
{
    fill({{1, QStringLiteral("380")}, {6, QStringLiteral("4")}, {7, QStringLiteral("30")},
          {8, QStringLiteral("1")}});
    QTest::mouseClick(button(2), Qt::LeftButton);
    QTest::mouseClick(button(1), Qt::LeftButton);
    QTRY_VERIFY(port_->size() >= 4);
    QTest::mouseClick(button(3), Qt::LeftButton);
    auto* runState = form_->findChild<QLabel*>(QStringLiteral("RunState"));
    QTRY_VERIFY2(runState->text().startsWith(QStringLiteral("Stopped at once: the cycle would have taken ")),
                 qPrintable(runState->text()));
    const auto writes = port_->writes();
    QCOMPARE(writes[writes.size() - 2].value, port::pattern::idleData);
    QCOMPARE(writes[writes.size() - 1].value, port::pattern::idleControl);
}

void TestForm1::waitText_data()
{
    QTest::addColumn<qint64>("nanoseconds");
    QTest::addColumn<QString>("text");
    // check the waits STOP can meet, in three digits as every duration on
    // screen (where the digits end is durationFigure's rule, tested with it)
    QTest::newRow("just over the prompt limit") << qint64{100'400'000} << "100 ms";
    QTest::newRow("the longest cycle") << std::numeric_limits<qint64>::max() / 4 << "73.1 years";
}

void TestForm1::waitText()
{
    QFETCH(qint64, nanoseconds);
    QTEST(app::window::StatusStrip::waitText(std::chrono::nanoseconds(nanoseconds)), "text");
}

// ---- fields the program fills

using Entries = QList<QPair<int, QString>>;

void TestForm1::filledFieldShowsItsStart_data()
{
    QTest::addColumn<Entries>("entries");  // the cursor left at their end
    QTest::addColumn<int>("pressed");   // 0: put in from outside, as remote control does
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("name");  // a screen reader's
    QTest::addColumn<bool>("wider");    // than the box

    const Entries rating{{5, "3000"}, {1, "380"}};
    QTest::newRow("voltage of 15 digits") << rating + Entries{{6, "2"}, {7, "2099"}, {8, "0.1"}} << 2 << 10
                                          << "3.49833333333333" << "Required Voltage" << true;
    QTest::newRow("negative voltage, exponent")
        << rating + Entries{{6, "-2"}, {7, "120"}, {8, "1.23456789012345e15"}} << 2 << 10
        << "-2.4691357802469E+15" << "Required Voltage" << true;
    QTest::newRow("RUN's 0 over a long text") << Entries{{9, QString(30, '9')}} << 1 << 9 << "0"
                                              << "Operating Time(min.):" << false;
    QTest::newRow("V/f from outside over a long text") << Entries{{8, QString(30, '9')}} << 0 << 8
                                                       << "0.000123456789012345" << "V/f(V/HZ):" << true;
}

// The first character at the box's left edge, the whole text under the pointer
// where the box cuts it, and to a screen reader the label beside it.
void TestForm1::filledFieldShowsItsStart()
{
    QFETCH(Entries, entries);
    QFETCH(int, pressed);
    QFETCH(int, number);
    QFETCH(QString, shown);
    QFETCH(bool, wider);

    fill(entries);
    if (pressed)
        QTest::mouseClick(button(pressed), Qt::LeftButton);
    else
        app::window::fillField(*field(number), shown);
    QCOMPARE(box_->shown, QStringList());
    QLineEdit* filled = field(number);
    QCOMPARE(filled->text(), shown);
    filled->grab();  // scrolls the text in the box as painting it does
    const int middle = filled->height() / 2;
    QCOMPARE(filled->cursorPositionAt(QPoint(0, middle)), 0);
    QCOMPARE(filled->cursorPositionAt(QPoint(filled->width() - 1, middle)) < shown.size(), wider);
    QHelpEvent hover(QEvent::ToolTip, filled->rect().center(), filled->mapToGlobal(filled->rect().center()));
    QApplication::sendEvent(filled, &hover);
    QCOMPARE(QToolTip::isVisible() ? QToolTip::text() : QString(), wider ? shown : QString());
    QToolTip::hideText();
    QAccessibleInterface* reader = QAccessible::queryAccessibleInterface(filled);
    QTEST(reader->text(QAccessible::Name), "name");
    QCOMPARE(reader->text(QAccessible::Value), shown);
}

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
