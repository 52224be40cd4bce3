// The fields the program fills, as the operator sees them: the text from its
// first character, all of it in the tooltip where the box is too narrow, and
// the same name and value for a screen reader.
#include <QAccessible>
#include <QHelpEvent>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTest>
#include <QToolTip>

#include <memory>

#include "app/window/filedialog.h"
#include "app/window/fillfield.h"
#include "app/window/form1.h"
#include "port/backend/module1.h"
#include "port/record/recordedport.h"
#include "recordingmessagebox.h"
#include "recordingport.h"

namespace {

class NoFileDialog : public app::window::FileDialog
{
public:
    QString saveFileName(const QString&, const QString&, const QString&) override { return {}; }
};

// How the text got there: a button's handler, or a caller outside the window
// (remote control) putting a number in.
enum class FilledBy { RequiredVoltage, Run, Outside };

using Entries = QList<QPair<int, QString>>;

}  // namespace

class TestFilledFields : public QObject
{
    Q_OBJECT

private slots:
    void showsTheStartAndReachesTheWhole_data();
    void showsTheStartAndReachesTheWhole();
};

void TestFilledFields::showsTheStartAndReachesTheWhole_data()
{
    QTest::addColumn<Entries>("entries");  // typed before, the cursor left at their end
    QTest::addColumn<FilledBy>("filledBy");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("name");  // what a screen reader calls the field
    QTest::addColumn<bool>("wider");    // than its box

    const Entries rating{{5, "3000"}, {1, "380"}};
    QTest::newRow("voltage of 15 digits")
        << rating + Entries{{6, "2"}, {7, "2099"}, {8, "0.1"}} << FilledBy::RequiredVoltage << 10
        << "3.49833333333333" << "Required Voltage" << true;
    QTest::newRow("negative voltage with an exponent")
        << rating + Entries{{6, "-2"}, {7, "120"}, {8, "1.23456789012345e15"}} << FilledBy::RequiredVoltage << 10
        << "-2.4691357802469E+15" << "Required Voltage" << true;
    QTest::newRow("voltage that fits")
        << rating + Entries{{6, "4"}, {7, "900"}, {8, "7.6"}} << FilledBy::RequiredVoltage << 10
        << "228" << "Required Voltage" << false;
    QTest::newRow("RUN's 0 over a long text")
        << Entries{{9, "123456789012345678901234567890"}} << FilledBy::Run << 9
        << "0" << "Operating Time(min.):" << false;
    QTest::newRow("V/f from outside over a long text")
        << Entries{{8, "999999999999999999999999"}} << FilledBy::Outside << 8
        << "0.000123456789012345" << "V/f(V/HZ):" << true;
}

void TestFilledFields::showsTheStartAndReachesTheWhole()
{
    QFETCH(Entries, entries);
    QFETCH(FilledBy, filledBy);
    QFETCH(int, number);
    QFETCH(QString, shown);
    QFETCH(QString, name);
    QFETCH(bool, wider);

    QLocale::setDefault(QLocale::c());
    RecordingMessageBox box;
    NoFileDialog fileDialog;
    RecordingPort port;
    port::record::RecordedPort recorded(port);
    port::backend::Module1 module(recorded);
    app::window::Form1 form(box, fileDialog, module, recorded.record(), QStringLiteral("Port: recording"));
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const auto field = [&form](int n) { return form.findChild<QLineEdit*>(QStringLiteral("Text%1").arg(n)); };
    for (const auto& [n, text] : entries)
        field(n)->setText(text);
    box.shown.clear();  // a check may warn at a text on its way
    switch (filledBy) {
    case FilledBy::RequiredVoltage:
        QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("Command2")), Qt::LeftButton);
        break;
    case FilledBy::Run:
        QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("Command1")), Qt::LeftButton);
        break;
    case FilledBy::Outside:
        app::window::fillField(*field(number), shown);
        break;
    }
    QCOMPARE(box.shown, QStringList());

    QLineEdit* filled = field(number);
    QCOMPARE(filled->text(), shown);
    filled->grab();  // lays the text out in the box as a paint does
    const int middle = filled->height() / 2;
    QCOMPARE(filled->cursorPositionAt(QPoint(0, middle)), 0);
    QCOMPARE(filled->cursorPositionAt(QPoint(filled->width() - 1, middle)) < shown.size(), wider);
    QHelpEvent hover(QEvent::ToolTip, filled->rect().center(), filled->mapToGlobal(filled->rect().center()));
    QApplication::sendEvent(filled, &hover);
    QCOMPARE(QToolTip::isVisible() ? QToolTip::text() : QString(), wider ? shown : QString());
    QToolTip::hideText();
    QAccessibleInterface* reader = QAccessible::queryAccessibleInterface(filled);
    QCOMPARE(reader->text(QAccessible::Name), name);
    QCOMPARE(reader->text(QAccessible::Value), shown);
}

QTEST_MAIN(TestFilledFields)
#include "tst_filledfields.moc"
