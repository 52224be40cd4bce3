// The real message box shows its prompt as text: paths and the system's error
// lines may hold "<" and "&", and must read as they are. The box is closed
// from inside its own event loop, so that the test never waits on it.
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include "app/window/modalmessagebox.h"

namespace {

struct SeenBox {
    bool seen = false;
    Qt::TextFormat format = Qt::AutoText;
    QString text;
    QString title;
    Qt::TextFormat labelFormat = Qt::AutoText;
    QString labelText;
};

QMessageBox* openMessageBox()
{
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
        return box;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
            return box;
    return nullptr;
}

} // namespace

class TestModalMessageBox : public QObject
{
    Q_OBJECT

private slots:
    void showsPromptAsText_data();
    void showsPromptAsText();
};

void TestModalMessageBox::showsPromptAsText_data()
{
    QTest::addColumn<QString>("prompt");
    QTest::newRow("markup") << "<b>x</b>";
    QTest::newRow("a path") << "/home/operator/<run 3>/trace.vcd: Permission denied";
    QTest::newRow("an error line") << "write failed: status < 0 & busy > 1";
    QTest::newRow("a line break tag") << "first<br>second";
}

void TestModalMessageBox::showsPromptAsText()
{
    QFETCH(QString, prompt);
    QWidget parent;
    app::window::ModalMessageBox boxes(&parent);
    SeenBox seen;
    QTimer closer;
    closer.setInterval(10);
    connect(&closer, &QTimer::timeout, [&] {
        QMessageBox* box = openMessageBox();
        if (!box)
            return;
        seen.seen = true;
        seen.format = box->textFormat();
        seen.text = box->text();
        seen.title = box->windowTitle();
        if (const auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
            seen.labelFormat = label->textFormat();
            seen.labelText = label->text();
        }
        closer.stop();
        box->accept();
    });
    closer.start();
    boxes.show(prompt, QStringLiteral("Port Error"));
    QVERIFY(seen.seen);
    QCOMPARE(seen.format, Qt::PlainText);
    QCOMPARE(seen.text, prompt);
    QCOMPARE(seen.title, QStringLiteral("Port Error"));
    QCOMPARE(seen.labelFormat, Qt::PlainText);
    QCOMPARE(seen.labelText, prompt);
}

QTEST_MAIN(TestModalMessageBox)
#include "tst_modalmessagebox.moc"
