// The caption font's ends, which the window's own captions never reach: the
// largest size where everything fits, and the default face at its smallest
// where nothing does. That the window's captions fit is tst_form1's.
#include <QApplication>
#include <QFontInfo>
#include <QTest>

#include "app/window/captionfont.h"

class TestCaptionFont : public QObject
{
    Q_OBJECT

private slots:
    void captionFont_data();
    void captionFont();
};

void TestCaptionFont::captionFont_data()
{
    QTest::addColumn<QRect>("box");
    QTest::addColumn<int>("lineRoom");
    QTest::addColumn<bool>("fits");  // false: nothing fits, the smallest size
    QTest::newRow("room to spare") << QRect(0, 0, 200, 100) << 100 << true;
    QTest::newRow("a box no caption fits in") << QRect(0, 0, 2, 2) << 100 << false;
    QTest::newRow("a field no line fits in") << QRect(0, 0, 200, 100) << 2 << false;
}

void TestCaptionFont::captionFont()
{
    QFETCH(QRect, box);
    QFETCH(int, lineRoom);
    QFETCH(bool, fits);
    const QFont fallback = QApplication::font();
    const QFont font = app::window::captionFont({{QStringLiteral("Required Voltage"), box, Qt::AlignCenter | Qt::TextWordWrap}},
                                                lineRoom, fallback);
    const bool narrowInstalled = QFontInfo(QFont(QStringLiteral("Liberation Sans Narrow"))).family() ==
                                 QStringLiteral("Liberation Sans Narrow");
    if (!fits) {
        QCOMPARE(font.family(), fallback.family());
        QCOMPARE(font.pointSizeF(), 7.0);
    } else if (narrowInstalled) {
        QCOMPARE(font.family(), QStringLiteral("Liberation Sans Narrow"));
        QCOMPARE(font.pointSizeF(), 9.0);
    } else {
        QCOMPARE(font, fallback);
    }
}

QTEST_MAIN(TestCaptionFont)
#include "tst_captionfont.moc"
