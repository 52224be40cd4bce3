// The rounding rule every duration is read by, on screen and in the
// self-test's sentences; and the figure lines scripts read, which keep the
// full stop in a comma locale.
#include <QTest>

#include <chrono>
#include <clocale>
#include <limits>

#include "port/report/durationfigure.h"

Q_DECLARE_METATYPE(port::report::DurationUnit)

namespace {

constexpr qint64 int64Max = std::numeric_limits<qint64>::max();
constexpr qint64 int64Min = std::numeric_limits<qint64>::min();

// Switches the C library to a German locale, whose decimal point is a comma,
// for as long as it lives: the program runs in the user's locale (Qt sets
// it), and the lines for scripts must keep the full stop. Off when none is
// installed.
class GermanLocale
{
public:
    GermanLocale()
    {
        for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE"})
            if (std::setlocale(LC_ALL, name) != nullptr) {
                on_ = true;
                return;
            }
    }
    ~GermanLocale() { std::setlocale(LC_ALL, "C"); }
    GermanLocale(const GermanLocale&) = delete;
    GermanLocale& operator=(const GermanLocale&) = delete;
    bool on() const { return on_; }

private:
    bool on_ = false;
};

} // namespace

class TestDurationFigure : public QObject
{
    Q_OBJECT

private slots:
    void durationFigure_data();
    void durationFigure();
    void figureLine_data();
    void figureLine();
};

void TestDurationFigure::durationFigure_data()
{
    using Unit = port::report::DurationUnit;
    QTest::addColumn<qint64>("nanoseconds");
    QTest::addColumn<int>("digits");
    QTest::addColumn<QString>("figure");  // the value with its decimals
    QTest::addColumn<Unit>("unit");
    // check the unit boundaries after rounding to three digits
    QTest::newRow("nothing") << qint64{0} << 3 << "0" << Unit::Microseconds;
    QTest::newRow("below the last decimal") << qint64{4} << 3 << "0" << Unit::Microseconds;
    QTest::newRow("30 ns") << qint64{30} << 3 << "0.03" << Unit::Microseconds;
    QTest::newRow("9.994 µs") << qint64{9'994} << 3 << "9.99" << Unit::Microseconds;
    QTest::newRow("9.996 µs rounds to ten") << qint64{9'996} << 3 << "10.0" << Unit::Microseconds;
    QTest::newRow("999.4 µs") << qint64{999'400} << 3 << "999" << Unit::Microseconds;
    QTest::newRow("999.6 µs rounds to a millisecond") << qint64{999'600} << 3 << "1.00" << Unit::Milliseconds;
    QTest::newRow("1830 µs") << qint64{1'830'000} << 3 << "1.83" << Unit::Milliseconds;
    QTest::newRow("999.9999 ms rounds to a second") << qint64{999'999'999} << 3 << "1.00" << Unit::Seconds;
    QTest::newRow("59.9 s") << qint64{59'900'000'000} << 3 << "59.9" << Unit::Seconds;
    QTest::newRow("59.96 s rounds to a minute") << qint64{59'960'000'000} << 3 << "1.00" << Unit::Minutes;
    QTest::newRow("two hours") << qint64{7'200'000'000'000} << 3 << "2.00" << Unit::Hours;
    QTest::newRow("a day") << qint64{86'400'000'000'000} << 3 << "1.00" << Unit::Days;
    QTest::newRow("the longest") << int64Max << 3 << "292" << Unit::Years;
    // check the sign: the unit follows the size
    QTest::newRow("0.5 µs early") << qint64{-500} << 3 << "-0.50" << Unit::Microseconds;
    QTest::newRow("999.6 µs early") << qint64{-999'600} << 3 << "-1.00" << Unit::Milliseconds;
    QTest::newRow("the earliest") << int64Min << 3 << "-292" << Unit::Years;
    // check one digit, as on an axis
    QTest::newRow("axis: 0.1 µs") << qint64{100} << 1 << "0.1" << Unit::Microseconds;
    QTest::newRow("axis: 100 µs") << qint64{100'000} << 1 << "100" << Unit::Microseconds;
    QTest::newRow("axis: 1 ms") << qint64{1'000'000} << 1 << "1" << Unit::Milliseconds;
}

void TestDurationFigure::durationFigure()
{
    QFETCH(qint64, nanoseconds);
    QFETCH(int, digits);
    const port::report::DurationFigure figure = port::report::durationFigure(std::chrono::nanoseconds(nanoseconds), digits);
    QTEST(QString::number(figure.value, 'f', figure.decimals), "figure");
    QTEST(figure.unit, "unit");
}

// As %.6g writes them in the C locale, which scripts have read all along.
void TestDurationFigure::figureLine_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("line");
    QTest::newRow("six digits") << 71.42857142 << "us" << "x: 71.4286 us\n";
    QTest::newRow("a whole number") << 40.0 << "" << "x: 40\n";
    QTest::newRow("small, in exponent form") << 1.5e-7 << "%" << "x: 1.5e-07 %\n";
    QTest::newRow("large, in exponent form") << 123456789.0 << "steps" << "x: 1.23457e+08 steps\n";
    QTest::newRow("negative") << -0.5 << "us" << "x: -0.5 us\n";
}

void TestDurationFigure::figureLine()
{
    QFETCH(double, value);
    QFETCH(QString, unit);
    QTEST(QString::fromStdString(port::report::figureLine("x", value, unit.toStdString())), "line");
    const GermanLocale german;
    if (!german.on())
        QSKIP("no German locale installed: checked in the C locale only");
    QTEST(QString::fromStdString(port::report::figureLine("x", value, unit.toStdString())), "line");
}

QTEST_APPLESS_MAIN(TestDurationFigure)
#include "tst_durationfigure.moc"
