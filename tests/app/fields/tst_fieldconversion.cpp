// Tests of how field text is read as a number and how numbers are shown:
// named cases for each behaviour, then properties over generated inputs.
#include "app/fields/fieldconversion.h"
#include "exactdouble.h"

#include <QRegularExpression>
#include <QString>
#include <QtTest>

#include <array>
#include <bit>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

QString shown(double x, const char *separator = ".")
{
    return QString::fromStdString(app::fields::displayText(x, separator));
}

// x rounded to 15 significant digits by the C library, in the C locale: the
// independent reference for what a shown number reads back as.
double roundedTo15(double x)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.14e", x);
    return std::strtod(buf, nullptr);
}

QString describe(const std::string &text)
{
    QString out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f)
            out += QChar(c);
        else
            out += QStringLiteral("\\x%1").arg(c, 2, 16, QChar('0'));
    }
    return QLatin1Char('"') + out + QLatin1Char('"');
}

bool sameBits(double a, double b)
{
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// Tries the usual names of a German locale, whose decimal point is a comma.
bool switchToGermanLocale()
{
    for (const char *name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "de_DE@euro", "German"}) {
        if (std::setlocale(LC_ALL, name) != nullptr)
            return true;
    }
    return false;
}

std::string randomText(std::mt19937 &rng, std::string_view alphabet, int maxLength)
{
    std::uniform_int_distribution<int> length(0, maxLength);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::string text;
    const int n = length(rng);
    for (int k = 0; k < n; ++k)
        text.push_back(alphabet[pick(rng)]);
    return text;
}

// Doubles an operator or a calculation plausibly produces: a few digits
// scaled by a power of ten, sometimes nudged by one ulp.
double humanNumber(std::mt19937 &rng)
{
    std::uniform_int_distribution<int> digitCount(1, 17);
    std::uniform_int_distribution<int> digit(0, 9);
    std::uniform_int_distribution<int> power(-30, 30);
    std::uniform_int_distribution<int> coin(0, 3);
    std::string text = coin(rng) == 0 ? "-" : "";
    const int n = digitCount(rng);
    for (int k = 0; k < n; ++k)
        text.push_back(static_cast<char>('0' + digit(rng)));
    text += "e" + std::to_string(power(rng));
    double x = std::strtod(text.c_str(), nullptr);
    switch (coin(rng)) {
    case 0:
        x = std::nextafter(x, kInf);
        break;
    case 1:
        x = std::nextafter(x, -kInf);
        break;
    default:
        break;
    }
    return x;
}

double finiteBitPattern(std::mt19937_64 &rng)
{
    for (;;) {
        const double x = std::bit_cast<double>(rng());
        if (std::isfinite(x))
            return x;
    }
}

// A text display must never produce: C library spellings, a signed zero, a
// trailing separator or trailing zeros after it, more than 15 significant
// digits, or leading zeros.
QString shapeFault(const QString &text, const QString &sep)
{
    if (text.isEmpty())
        return QStringLiteral("empty");
    if (text.contains(QLatin1String("inf"), Qt::CaseInsensitive)
        || text.contains(QLatin1String("nan"), Qt::CaseInsensitive))
        return QStringLiteral("C library spelling");
    if (text == QLatin1String("-0") || (text.startsWith(QLatin1String("-0")) && !text.startsWith(QLatin1String("-0") + sep)))
        return QStringLiteral("signed zero");
    if (text.endsWith(sep))
        return QStringLiteral("trailing separator");

    QString mantissa = text;
    const qsizetype e = text.indexOf(QLatin1Char('E'));
    if (e >= 0) {
        mantissa = text.left(e);
        static const QRegularExpression exponent(QStringLiteral(R"(^E[+-][0-9]{2,3}$)"));
        if (!exponent.match(text.mid(e)).hasMatch())
            return QStringLiteral("bad exponent");
        static const QRegularExpression oneDigit(QStringLiteral(R"(^-?[1-9]$)"));
        if (!oneDigit.match(mantissa.section(sep, 0, 0)).hasMatch())
            return QStringLiteral("mantissa not normalised");
    }
    const QString pattern = QStringLiteral(R"(^-?(0|[1-9][0-9]*)(%1[0-9]*[1-9])?$)")
                                .arg(QRegularExpression::escape(sep));
    if (!QRegularExpression(pattern).match(mantissa).hasMatch())
        return QStringLiteral("not a plain number");

    QString digits = mantissa;
    digits.remove(QLatin1Char('-'));
    digits.remove(sep);
    while (digits.startsWith(QLatin1Char('0')))
        digits.remove(0, 1);
    if (e < 0)
        while (digits.endsWith(QLatin1Char('0')))
            digits.chop(1);
    if (digits.size() > 15)
        return QStringLiteral("more than 15 significant digits");
    return {};
}

} // namespace

class TestFieldConversion : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void reading_data();
    void reading();
    void readingRadix_data();
    void readingRadix();
    void readingExponent_data();
    void readingExponent();
    void readingOutOfRange_data();
    void readingOutOfRange();
    void readingInGermanLocale_data();
    void readingInGermanLocale();
    void readsWhole_data();
    void readsWhole();

    void display_data();
    void display();
    void displayExponent_data();
    void displayExponent();
    void displaySpecial_data();
    void displaySpecial();
    void displayInGermanLocale();

    void blanksNeverChangeReading();
    void readingMatchesCLibrary();
    void readingStopsAtForeignCharacter();
    void shownNumberReadsBackRounded();
    void shownTextHasFieldShape();
};

void TestFieldConversion::initTestCase()
{
    std::setlocale(LC_ALL, "C");
}

void TestFieldConversion::cleanup()
{
    std::setlocale(LC_ALL, "C");
}

void TestFieldConversion::reading_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");

    QTest::newRow("empty text") << "" << 0.0;
    QTest::newRow("only blanks") << " \t\n " << 0.0;
    QTest::newRow("unit after number") << " 12.5 V" << 12.5;
    QTest::newRow("blank inside digits") << "1 50" << 150.0;
    QTest::newRow("comma ends the number") << "0,8" << 0.0;
    QTest::newRow("comma after whole part") << "12,5" << 12.0;
    QTest::newRow("no leading digit") << ".6" << 0.6;
    QTest::newRow("negative") << "-4" << -4.0;
    QTest::newRow("explicit plus") << "+7" << 7.0;
    QTest::newRow("letters") << "abc" << 0.0;
    QTest::newRow("letters before digits") << "V12" << 0.0;
    QTest::newRow("exponent") << "1e3" << 1000.0;
    QTest::newRow("signed fraction with exponent") << "+.5e-1" << 0.05;
    QTest::newRow("trailing zero fraction") << "2.0" << 2.0;
    QTest::newRow("leading blank") << " 2" << 2.0;
    QTest::newRow("second point ends the number") << "1.2.3" << 1.2;
    QTest::newRow("blank after sign") << "- 4" << -4.0;
    QTest::newRow("sign after number ends it") << "4-" << 4.0;
    QTest::newRow("tab and line feed inside") << "2\t3\n45" << 2345.0;
    // a carriage return is not skipped: it ends the number like a letter
    QTest::newRow("carriage return ends the number") << "1\r5" << 1.0;
    QTest::newRow("carriage return before the number") << "\r5" << 0.0;
    QTest::newRow("pasted line end") << "12.5\r\n" << 12.5;
    QTest::newRow("carriage return after the point") << "3.\r25" << 3.0;
    QTest::newRow("point without digits") << "." << 0.0;
    QTest::newRow("sign alone") << "-" << 0.0;
    QTest::newRow("sign and point alone") << "-." << 0.0;
    QTest::newRow("two signs") << "+-3" << 0.0;
    QTest::newRow("trailing point") << "7." << 7.0;
    QTest::newRow("leading zeros") << "000042" << 42.0;
    QTest::newRow("blank around point") << "3 . 25" << 3.25;
    QTest::newRow("non-ascii after number") << "50\xc2\xb0" << 50.0;
    QTest::newRow("non-breaking space is not a blank") << "1\xc2\xa0" "50" << 1.0;
    QTest::newRow("hex-looking without ampersand") << "0x1F" << 0.0;
    QTest::newRow("rounded like a double literal") << "0.1" << 0.1;
    QTest::newRow("seventeen digits") << "2.3809523809523810" << 2.380952380952381;
    QTest::newRow("long digit string")
        << QString(400, QLatin1Char('1')) + QStringLiteral("e-399") << 1.1111111111111112;
    QTest::newRow("long fraction") << QStringLiteral("0.") + QString(300, QLatin1Char('0')) + QStringLiteral("5e300")
                                   << 0.5;
}

void TestFieldConversion::reading()
{
    QFETCH(QString, text);
    QFETCH(double, expected);
    QCOMPARE(exact(app::fields::numericReading(text.toStdString())), exact(expected));
}

void TestFieldConversion::readingRadix_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");

    QTest::newRow("hex") << "&H10" << 16.0;
    QTest::newRow("hex lower case") << "&hff" << 255.0;
    QTest::newRow("hex mixed digits") << "&HaB" << 171.0;
    QTest::newRow("hex is unsigned at 16 bits") << "&HFFFF" << 65535.0;
    QTest::newRow("hex is unsigned at 32 bits") << "&HFFFFFFFF" << 4294967295.0;
    QTest::newRow("hex 2^53 - 1 exact") << "&H1FFFFFFFFFFFFF" << 9007199254740991.0;
    QTest::newRow("hex 2^53 + 1 rounds to even") << "&H20000000000001" << 9007199254740992.0;
    QTest::newRow("hex 2^53 + 3 rounds up") << "&H20000000000003" << 9007199254740996.0;
    QTest::newRow("hex 64 bits") << "&HFFFFFFFFFFFFFFFF" << 18446744073709551616.0;
    QTest::newRow("hex stops at non-hex letter") << "&H1G" << 1.0;
    QTest::newRow("hex blanks skipped") << " & H 1 0" << 16.0;
    QTest::newRow("hex leading zeros") << "&H0000000000000000000000000001" << 1.0;
    QTest::newRow("hex without digits") << "&H" << 0.0;
    QTest::newRow("hex has no point") << "&H1.8" << 1.0;
    QTest::newRow("E is a hex digit") << "&H1E2" << 482.0;
    QTest::newRow("hex beyond double range") << QStringLiteral("&H1") + QString(260, QLatin1Char('0')) << kInf;
    QTest::newRow("octal") << "&o17" << 15.0;
    QTest::newRow("octal upper case") << "&O777" << 511.0;
    QTest::newRow("octal stops at 8") << "&O78" << 7.0;
    QTest::newRow("octal without digits") << "&O8" << 0.0;
    QTest::newRow("octal 2^53 + 1 rounds to even") << "&O400000000000000001" << 9007199254740992.0;
    QTest::newRow("octal 64 bits") << "&O1777777777777777777777" << 18446744073709551616.0;
    QTest::newRow("ampersand and digits") << "&12" << 0.0;
    QTest::newRow("ampersand alone") << "&" << 0.0;
    QTest::newRow("ampersand other letter") << "&B101" << 0.0;
    QTest::newRow("sign before ampersand") << "-&H10" << 0.0;
    QTest::newRow("hex after a number is not read") << "1&H10" << 1.0;
}

void TestFieldConversion::readingRadix()
{
    QFETCH(QString, text);
    QFETCH(double, expected);
    QCOMPARE(exact(app::fields::numericReading(text.toStdString())), exact(expected));
}

void TestFieldConversion::readingExponent_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");

    QTest::newRow("letter without digits") << "3e" << 3.0;
    QTest::newRow("letter and sign without digits") << "3e+" << 3.0;
    QTest::newRow("letter and minus without digits") << "3E-x" << 3.0;
    QTest::newRow("upper case") << "2E2" << 200.0;
    QTest::newRow("negative exponent") << "25e-1" << 2.5;
    QTest::newRow("plus exponent") << "1e+2" << 100.0;
    QTest::newRow("D is not an exponent letter") << "1d3" << 1.0;
    QTest::newRow("upper D with sign") << "1D+2" << 1.0;
    QTest::newRow("D after a fraction") << "2.5d-1" << 2.5;
    QTest::newRow("exponent without mantissa") << "e5" << 0.0;
    QTest::newRow("point then exponent") << ".e5" << 0.0;
    QTest::newRow("trailing point then exponent") << "1.e2" << 100.0;
    QTest::newRow("exponent has no fraction") << "1e2.5" << 100.0;
    QTest::newRow("two exponent signs") << "1e+-2" << 1.0;
    QTest::newRow("second exponent letter") << "1e2e3" << 100.0;
    QTest::newRow("blank inside exponent") << "1.5e 2" << 150.0;
    QTest::newRow("blank after exponent sign") << "5e- 1" << 0.5;
    QTest::newRow("carriage return after exponent letter") << "5e\r1" << 5.0;
    QTest::newRow("exponent leading zeros") << "1e0003" << 1000.0;
    QTest::newRow("zero mantissa huge exponent") << "0e99999999999999999999" << 0.0;
    QTest::newRow("other letter is not an exponent") << "3f2" << 3.0;
    QTest::newRow("largest finite") << "1.7976931348623157e308" << std::numeric_limits<double>::max();
    QTest::newRow("smallest normal") << "2.2250738585072014e-308" << std::numeric_limits<double>::min();
    QTest::newRow("denormal") << "4.9406564584124654e-324" << std::numeric_limits<double>::denorm_min();
    QTest::newRow("large mantissa small exponent") << "123456e-5" << 1.23456;
}

void TestFieldConversion::readingExponent()
{
    QFETCH(QString, text);
    QFETCH(double, expected);
    QCOMPARE(exact(app::fields::numericReading(text.toStdString())), exact(expected));
}

void TestFieldConversion::readingOutOfRange_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");

    QTest::newRow("overflow") << "1e999" << kInf;
    QTest::newRow("negative overflow") << "-1e999" << -kInf;
    QTest::newRow("just above the largest") << "1.8e308" << kInf;
    QTest::newRow("overflow by digits alone") << QString(400, QLatin1Char('9')) << kInf;
    QTest::newRow("overflow with enormous exponent") << "1e99999999999999999999999" << kInf;
    QTest::newRow("overflow from fraction") << "0.001e312" << kInf;
    QTest::newRow("underflow") << "1e-999" << 0.0;
    QTest::newRow("negative underflow") << "-1e-999" << 0.0;
    QTest::newRow("underflow with enormous exponent") << "5e-99999999999999999999999" << 0.0;
    QTest::newRow("underflow despite many digits") << QString(30, QLatin1Char('9')) + QStringLiteral("e-400") << 0.0;
    QTest::newRow("below half the smallest denormal") << "2e-324" << 0.0;
    QTest::newRow("many zeros then overflow")
        << QStringLiteral("0.") + QString(50, QLatin1Char('0')) + QStringLiteral("1e400") << kInf;
}

void TestFieldConversion::readingOutOfRange()
{
    QFETCH(QString, text);
    QFETCH(double, expected);
    const double got = app::fields::numericReading(text.toStdString());
    QCOMPARE(exact(got), exact(expected));
    if (expected == 0.0)
        QCOMPARE(std::signbit(got), text.startsWith(QLatin1Char('-')));
}

void TestFieldConversion::readingInGermanLocale_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");

    QTest::newRow("full stop is the point") << "0.8" << 0.8;
    QTest::newRow("comma still ends the number") << "0,8" << 0.0;
    QTest::newRow("exponent form") << "1.5e-3" << 0.0015;
}

void TestFieldConversion::readingInGermanLocale()
{
    QFETCH(QString, text);
    QFETCH(double, expected);
    if (!switchToGermanLocale())
        QSKIP("no German locale installed");
    QCOMPARE(exact(app::fields::numericReading(text.toStdString())), exact(expected));
}

// Whether the text held more than the number it gave: what the window says
// after Required Voltage.
void TestFieldConversion::readsWhole_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("whole");

    QTest::newRow("empty text") << "" << true;
    QTest::newRow("only blanks") << " \t\n " << true;
    QTest::newRow("blanks inside") << " 1 500\n" << true;
    QTest::newRow("fraction") << "7.6" << true;
    QTest::newRow("trailing point") << "7." << true;
    QTest::newRow("exponent") << "+.5e-1" << true;
    QTest::newRow("hex") << "&hFF" << true;
    QTest::newRow("octal") << "&O17" << true;
    QTest::newRow("comma") << "7,6" << false;
    QTest::newRow("unit after number") << "380 V" << false;
    QTest::newRow("second point") << "1.2.3" << false;
    QTest::newRow("letters only") << "abc" << false;
    QTest::newRow("sign alone") << "-" << false;
    QTest::newRow("point alone") << "." << false;
    QTest::newRow("exponent letter without digits") << "3e" << false;
    QTest::newRow("exponent sign without digits") << "3e+" << false;
    QTest::newRow("carriage return") << "12.5\r\n" << false;
    QTest::newRow("hex without digits") << "&H" << false;
    QTest::newRow("hex then a letter") << "&H1G" << false;
    QTest::newRow("octal stops at 8") << "&O78" << false;
    QTest::newRow("ampersand other letter") << "&B101" << false;
    QTest::newRow("overflow") << "1e999" << true;
    QTest::newRow("overflow then text") << "1e999x" << false;
}

void TestFieldConversion::readsWhole()
{
    QFETCH(QString, text);
    QTEST(app::fields::readsWhole(text.toStdString()), "whole");
}

void TestFieldConversion::display_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("separator");
    QTest::addColumn<QString>("expected");

    QTest::newRow("whole number without separator") << 228.0 << "." << "228";
    QTest::newRow("rounds up to a whole number") << 229.99999999999997 << "." << "230";
    QTest::newRow("rounds to 15 digits") << 229.49999999999997 << "." << "229.5";
    QTest::newRow("negative") << -3.5 << "." << "-3.5";
    QTest::newRow("zero") << 0.0 << "." << "0";
    QTest::newRow("long fraction cut at 15 digits") << 2.380952380952381 << "." << "2.38095238095238";
    QTest::newRow("binary noise removed") << 0.1 + 0.2 << "." << "0.3";
    QTest::newRow("largest plain power of ten") << 1e14 << "." << "100000000000000";
    QTest::newRow("fifteen nines stay plain") << 999999999999999.4 << "." << "999999999999999";
    QTest::newRow("comma separator") << 12.5 << "," << "12,5";
    QTest::newRow("comma separator negative fraction") << -0.25 << "," << "-0,25";
    QTest::newRow("whole number ignores separator") << 50.0 << "," << "50";
    QTest::newRow("longer separator") << 1.5 << "<>" << "1<>5";
    QTest::newRow("negative fraction below one") << -0.5 << "." << "-0.5";
    QTest::newRow("smallest plain magnitude") << 0.00001 << "." << "0.00001";
    QTest::newRow("small plain with two digits") << 0.000012 << "." << "0.000012";
    QTest::newRow("tens") << 1500.0 << "." << "1500";
    QTest::newRow("mixed") << 1234.5678 << "." << "1234.5678";
    QTest::newRow("one") << 1.0 << "." << "1";
    QTest::newRow("minus one") << -1.0 << "." << "-1";
    QTest::newRow("rounding carries to next power") << 9.9999999999999995 << "." << "10";
    QTest::newRow("fraction beyond 15 digits rounds away") << 123456789012345.6 << "." << "123456789012346";
}

void TestFieldConversion::display()
{
    QFETCH(double, value);
    QFETCH(QString, separator);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromStdString(app::fields::displayText(value, separator.toStdString())), expected);
}

void TestFieldConversion::displayExponent_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("separator");
    QTest::addColumn<QString>("expected");

    QTest::newRow("1e15 needs an exponent") << 1e15 << "." << "1E+15";
    QTest::newRow("fifteen nines rounding up") << 999999999999999.9 << "." << "1E+15";
    QTest::newRow("large with mantissa") << 1.5e20 << "." << "1.5E+20";
    QTest::newRow("small") << 1e-7 << "." << "1E-07";
    QTest::newRow("small with mantissa") << 1.5e-7 << "." << "1.5E-07";
    QTest::newRow("just below 1e-5") << 0.0000099 << "." << "9.9E-06";
    QTest::newRow("1e-6") << 1e-6 << "." << "1E-06";
    QTest::newRow("three exponent digits") << 1.23456789012345e300 << "." << "1.23456789012345E+300";
    QTest::newRow("negative small") << -2.5e-10 << "." << "-2.5E-10";
    QTest::newRow("negative large") << -3e16 << "." << "-3E+16";
    QTest::newRow("comma in mantissa") << 1.5e-7 << "," << "1,5E-07";
    QTest::newRow("largest double") << std::numeric_limits<double>::max() << "." << "1.79769313486232E+308";
    QTest::newRow("smallest denormal") << std::numeric_limits<double>::denorm_min() << "." << "4.94065645841247E-324";
    QTest::newRow("mantissa cut at 15 digits") << 1.2345678901234567e-20 << "." << "1.23456789012346E-20";
}

void TestFieldConversion::displayExponent()
{
    QFETCH(double, value);
    QFETCH(QString, separator);
    QFETCH(QString, expected);
    QCOMPARE(QString::fromStdString(app::fields::displayText(value, separator.toStdString())), expected);
}

void TestFieldConversion::displaySpecial_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("expected");

    QTest::newRow("negative zero") << -0.0 << "0";
    QTest::newRow("infinity") << kInf << "overflow";
    QTest::newRow("negative infinity") << -kInf << "-overflow";
    QTest::newRow("quiet nan") << std::numeric_limits<double>::quiet_NaN() << "undefined";
    QTest::newRow("negative nan") << -std::numeric_limits<double>::quiet_NaN() << "undefined";
    QTest::newRow("signalling nan") << std::numeric_limits<double>::signaling_NaN() << "undefined";
}

void TestFieldConversion::displaySpecial()
{
    QFETCH(double, value);
    QFETCH(QString, expected);
    QCOMPARE(shown(value), expected);
    QCOMPARE(shown(value, ","), expected);
}

void TestFieldConversion::displayInGermanLocale()
{
    if (!switchToGermanLocale())
        QSKIP("no German locale installed");
    QCOMPARE(shown(0.5), QStringLiteral("0.5"));
    QCOMPARE(shown(1.5e-7), QStringLiteral("1.5E-07"));
}

// Blanks, tabs and line feeds typed anywhere must not change the reading,
// nor whether it took all of the text.
void TestFieldConversion::blanksNeverChangeReading()
{
    std::mt19937 rng(20240611);
    constexpr std::string_view alphabet = "0123456789012345678901234567890123456789..++--eEdD&HhOoaFx,V";
    constexpr std::string_view blanks = " \t\n";
    std::uniform_int_distribution<int> insertions(1, 6);
    std::uniform_int_distribution<std::size_t> whichBlank(0, blanks.size() - 1);
    for (int n = 0; n < 30000; ++n) {
        const std::string text = randomText(rng, alphabet, 24);
        std::string padded = text;
        const int k = insertions(rng);
        for (int j = 0; j < k; ++j) {
            std::uniform_int_distribution<std::size_t> at(0, padded.size());
            padded.insert(at(rng), 1, blanks[whichBlank(rng)]);
        }
        const double plain = app::fields::numericReading(text);
        const double spaced = app::fields::numericReading(padded);
        QVERIFY2(!std::isnan(plain), qPrintable(describe(text)));
        QVERIFY2(sameBits(plain, spaced),
                 qPrintable(describe(text) + " vs " + describe(padded) + ": " + exact(plain) + " vs " + exact(spaced)));
        QVERIFY2(app::fields::readsWhole(text) == app::fields::readsWhole(padded), qPrintable(describe(text) + " vs " + describe(padded)));
    }
}

// For text already in C syntax the reading is whatever the C library reads.
void TestFieldConversion::readingMatchesCLibrary()
{
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> coin(0, 1);
    std::uniform_int_distribution<int> digit(0, 9);
    std::uniform_int_distribution<int> length(0, 25);
    std::uniform_int_distribution<int> exponent(-340, 340);
    for (int n = 0; n < 30000; ++n) {
        std::string text = coin(rng) ? "-" : "";
        const int whole = length(rng);
        int frac = length(rng);
        if (whole == 0 && frac == 0)
            frac = 1;
        for (int k = 0; k < whole; ++k)
            text.push_back(static_cast<char>('0' + digit(rng)));
        if (frac > 0 || coin(rng)) {
            text.push_back('.');
            for (int k = 0; k < frac; ++k)
                text.push_back(static_cast<char>('0' + digit(rng)));
        }
        if (coin(rng))
            text += "e" + std::to_string(exponent(rng));
        const double reference = std::strtod(text.c_str(), nullptr);
        const double got = app::fields::numericReading(text);
        QVERIFY2(sameBits(got, reference),
                 qPrintable(describe(text) + ": " + exact(got) + " vs " + exact(reference)));
    }
}

// A character that cannot continue a number ends it, whatever follows, and
// the text then holds more than the number.
void TestFieldConversion::readingStopsAtForeignCharacter()
{
    std::mt19937 rng(99);
    constexpr std::string_view alphabet = "0123456789.+-eEdD&HhOo";
    constexpr std::array<std::string_view, 7> tails{",5", "x1", "V 12", "#&H1", "%e5", "\r5", "\r\ne5"};
    std::uniform_int_distribution<std::size_t> whichTail(0, tails.size() - 1);
    for (int n = 0; n < 20000; ++n) {
        const std::string text = randomText(rng, alphabet, 16);
        const std::string longer = text + std::string(tails[whichTail(rng)]);
        QVERIFY2(sameBits(app::fields::numericReading(text), app::fields::numericReading(longer)),
                 qPrintable(describe(text) + " vs " + describe(longer)));
        QVERIFY2(!app::fields::readsWhole(longer), qPrintable(describe(longer)));
    }
}

// What a field shows reads back as the number rounded to 15 digits.
void TestFieldConversion::shownNumberReadsBackRounded()
{
    std::mt19937_64 bits(12345);
    std::mt19937 human(54321);
    for (int n = 0; n < 40000; ++n) {
        const double x = (n % 2 == 0) ? finiteBitPattern(bits) : humanNumber(human);
        const std::string text = app::fields::displayText(x, ".");
        const double back = app::fields::numericReading(text);
        const double expected = roundedTo15(x);
        QVERIFY2(exact(back) == exact(expected),
                 qPrintable(exact(x) + " shown " + describe(text) + " read " + exact(back) + " want " + exact(expected)));
    }
}

// Every shown number has the field's shape, with either separator.
void TestFieldConversion::shownTextHasFieldShape()
{
    std::mt19937_64 bits(777);
    std::mt19937 human(888);
    for (int n = 0; n < 40000; ++n) {
        const double x = (n % 2 == 0) ? std::bit_cast<double>(bits()) : humanNumber(human);
        const QString dot = shown(x, ".");
        const QString comma = shown(x, ",");
        if (!std::isfinite(x)) {
            QVERIFY2(dot == QLatin1String("overflow") || dot == QLatin1String("-overflow")
                         || dot == QLatin1String("undefined"),
                     qPrintable(dot));
            continue;
        }
        const QString fault = shapeFault(dot, QStringLiteral("."));
        QVERIFY2(fault.isEmpty(), qPrintable(exact(x) + " shown \"" + dot + "\": " + fault));
        QString expectedComma = dot;
        expectedComma.replace(QLatin1Char('.'), QLatin1Char(','));
        QCOMPARE(comma, expectedComma);
        QVERIFY2(shapeFault(comma, QStringLiteral(",")).isEmpty(), qPrintable(comma));
    }
}

QTEST_APPLESS_MAIN(TestFieldConversion)
#include "tst_fieldconversion.moc"
