// Figures as the screen shows them: durations (the strip's lateness and
// waits, the self-test's line and its dialog), frequencies and shares.
#include <QLocale>
#include <QTest>

#include <chrono>
#include <limits>

#include "app/text/durationtext.h"

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
    void frequencyText_data();
    void frequencyText();
    void shareText_data();
    void shareText();
};

void TestDurationText::init()
{
    QLocale::setDefault(QLocale::c());
}

void TestDurationText::cleanup()
{
    QLocale::setDefault(QLocale::c());
}

// Where a duration's digits end is durationFigure's rule, tested with it;
// here each unit's word and the figure as the locale writes it.
void TestDurationText::durationText_data()
{
    QTest::addColumn<qint64>("nanoseconds");
    QTest::addColumn<int>("digits");
    QTest::addColumn<QString>("text");
    // check each unit's word
    QTest::newRow("µs") << qint64{23'159} << 3 << "23.2 µs";
    QTest::newRow("ms, once 1.83e+03 µs") << qint64{1'830'000} << 3 << "1.83 ms";
    QTest::newRow("s") << qint64{59'900'000'000} << 3 << "59.9 s";
    QTest::newRow("min") << qint64{90'000'000'000} << 3 << "1.50 min";
    QTest::newRow("h") << qint64{7'200'000'000'000} << 3 << "2.00 h";
    QTest::newRow("days") << qint64{9'999'999'999'999'999} << 3 << "116 days";
    QTest::newRow("years") << std::numeric_limits<qint64>::max() << 3 << "292 years";
    // check the figure written as it is given: no decimals, a sign, one digit
    QTest::newRow("on time") << qint64{0} << 3 << "0 µs";
    QTest::newRow("0.5 µs early") << qint64{-500} << 3 << "-0.50 µs";
    QTest::newRow("axis 0.1 µs") << qint64{100} << 1 << "0.1 µs";
}

void TestDurationText::durationText()
{
    QFETCH(qint64, nanoseconds);
    QFETCH(int, digits);
    QTEST(app::text::durationText(std::chrono::nanoseconds(nanoseconds), digits), "text");
}

void TestDurationText::followsTheLocale_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("given");  // empty: the default
    QTest::addColumn<qint64>("nanoseconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("German decimal comma") << "de_DE" << "" << qint64{23'159} << "23,2 µs";
    QTest::newRow("German, negative") << "de_DE" << "" << qint64{-1'830'000} << "-1,83 ms";
    QTest::newRow("English") << "en_GB" << "" << qint64{1'830'000} << "1.83 ms";
    QTest::newRow("German, C asked for, as the command line does") << "de_DE" << "C" << qint64{23'159} << "23.2 µs";
}

void TestDurationText::followsTheLocale()
{
    QFETCH(QString, locale);
    QFETCH(QString, given);
    QFETCH(qint64, nanoseconds);
    QLocale::setDefault(QLocale(locale));
    const std::chrono::nanoseconds duration(nanoseconds);
    QTEST(given.isEmpty() ? app::text::durationText(duration) : app::text::durationText(duration, 3, QLocale(given)),
          "text");
}

void TestDurationText::frequencyText_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<double>("hertz");
    QTest::addColumn<QString>("text");
    // check the unit boundaries after rounding to six digits
    QTest::newRow("30 Hz") << "C" << 30.0 << "30 Hz";
    QTest::newRow("just under 1 kHz") << "C" << 999.9994 << "999.999 Hz";
    QTest::newRow("999.9996 Hz is 1 kHz") << "C" << 999.9996 << "1 kHz";
    QTest::newRow("1 kHz, the self-test's rate") << "C" << 1000.0 << "1 kHz";
    QTest::newRow("999999.6 Hz is 1 MHz") << "C" << 999'999.6 << "1 MHz";
    QTest::newRow("a cycle a day, no exponent") << "C" << 1.0 / 86400.0 << "0.0000115741 Hz";
    QTest::newRow("German decimal comma") << "de_DE" << 29.99943 << "29,9994 Hz";
    QTest::newRow("German kHz") << "de_DE" << 714'285.714 << "714,286 kHz";
}

void TestDurationText::frequencyText()
{
    QFETCH(QString, locale);
    QFETCH(double, hertz);
    QLocale::setDefault(QLocale(locale));
    QTEST(app::text::frequencyText(hertz), "text");
}

void TestDurationText::shareText_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<double>("percentage");
    QTest::addColumn<QString>("text");
    // check three digits, at most two decimals
    QTest::newRow("97.5") << "C" << 97.5 << "97.5";
    QTest::newRow("1.7 keeps its digits") << "C" << 1.7 << "1.70";
    QTest::newRow("a twentieth") << "C" << 0.05 << "0.05";
    QTest::newRow("9.996 rounds to 10.0") << "C" << 9.996 << "10.0";
    QTest::newRow("nothing") << "C" << 0.0 << "0.00";
    QTest::newRow("German decimal comma") << "de_DE" << 1.7 << "1,70";
}

void TestDurationText::shareText()
{
    QFETCH(QString, locale);
    QFETCH(double, percentage);
    QLocale::setDefault(QLocale(locale));
    QTEST(app::text::shareText(percentage), "text");
}

QTEST_GUILESS_MAIN(TestDurationText)
#include "tst_durationtext.moc"
