// Durations as the screen shows them: the strip's lateness and waits, the
// self-test's line and its dialog.
#include <QLocale>
#include <QTest>

#include <chrono>
#include <limits>

#include "app/durationtext.h"

class TestDurationText : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void durationText_data();
    void durationText();
    void followsTheLocale_data();
    void followsTheLocale();
};

void TestDurationText::init()
{
    QLocale::setDefault(QLocale::c());
}

void TestDurationText::cleanup()
{
    QLocale::setDefault(QLocale::c());
}

void TestDurationText::durationText_data()
{
    QTest::addColumn<qint64>("nanoseconds");
    QTest::addColumn<int>("digits");
    QTest::addColumn<QString>("text");
    // check what the strip once wrote in exponent form
    QTest::newRow("the stall once 1.83e+03 µs") << qint64{1'830'000} << 3 << "1.83 ms";
    QTest::newRow("a wait once 1e+03 ms") << qint64{999'999'999} << 3 << "1.00 s";
    // check the unit boundaries, three significant digits
    QTest::newRow("on time") << qint64{0} << 3 << "0 µs";
    QTest::newRow("30 ns") << qint64{30} << 3 << "0.03 µs";
    QTest::newRow("23.159 µs") << qint64{23'159} << 3 << "23.2 µs";
    QTest::newRow("999.4 µs") << qint64{999'400} << 3 << "999 µs";
    QTest::newRow("999.6 µs") << qint64{999'600} << 3 << "1.00 ms";
    QTest::newRow("1 ms") << qint64{1'000'000} << 3 << "1.00 ms";
    QTest::newRow("999.4 ms") << qint64{999'400'000} << 3 << "999 ms";
    QTest::newRow("59.9 s") << qint64{59'900'000'000} << 3 << "59.9 s";
    QTest::newRow("59.96 s") << qint64{59'960'000'000} << 3 << "1.00 min";
    QTest::newRow("two hours") << qint64{7'200'000'000'000} << 3 << "2.00 h";
    QTest::newRow("huge") << std::numeric_limits<qint64>::max() << 3 << "292 years";
    // check negative lateness: a step that started early
    QTest::newRow("0.5 µs early") << qint64{-500} << 3 << "-0.50 µs";
    QTest::newRow("999.6 µs early") << qint64{-999'600} << 3 << "-1.00 ms";
    QTest::newRow("the earliest") << std::numeric_limits<qint64>::min() << 3 << "-292 years";
    // check one digit, as the histogram's axis writes its decades
    QTest::newRow("axis 0.1 µs") << qint64{100} << 1 << "0.1 µs";
    QTest::newRow("axis 10 µs") << qint64{10'000} << 1 << "10 µs";
    QTest::newRow("axis 100 ms") << qint64{100'000'000} << 1 << "100 ms";
}

void TestDurationText::durationText()
{
    QFETCH(qint64, nanoseconds);
    QFETCH(int, digits);
    QTEST(app::durationText(std::chrono::nanoseconds(nanoseconds), digits), "text");
}

void TestDurationText::followsTheLocale_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<qint64>("nanoseconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("German decimal comma") << "de_DE" << qint64{23'159} << "23,2 µs";
    QTest::newRow("German, negative") << "de_DE" << qint64{-1'830'000} << "-1,83 ms";
    QTest::newRow("English") << "en_GB" << qint64{1'830'000} << "1.83 ms";
}

void TestDurationText::followsTheLocale()
{
    QFETCH(QString, locale);
    QFETCH(qint64, nanoseconds);
    QLocale::setDefault(QLocale(locale));
    QTEST(app::durationText(std::chrono::nanoseconds(nanoseconds)), "text");
}

QTEST_GUILESS_MAIN(TestDurationText)
#include "tst_durationtext.moc"
