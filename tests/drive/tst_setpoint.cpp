// Required Voltage's computation: frequency, voltage, period, step time and verdict.
#include <QTest>

#include <cmath>
#include <limits>

#include "drive/setpoint/setpoint.h"
#include "exactdouble.h"

using drive::Verdict;

Q_DECLARE_METATYPE(drive::Verdict)

class TestSetPoint : public QObject
{
    Q_OBJECT

private slots:
    void computesSetPoint_data();
    void computesSetPoint();
    void keepsTimingWithoutPeriod_data();
    void keepsTimingWithoutPeriod();
};

void TestSetPoint::computesSetPoint_data()
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    QTest::addColumn<double>("poles");
    QTest::addColumn<double>("speed");
    QTest::addColumn<double>("voltsPerHertz");
    QTest::addColumn<double>("rating");
    QTest::addColumn<double>("frequency");
    QTest::addColumn<double>("voltage");
    QTest::addColumn<double>("period");
    QTest::addColumn<double>("stepTime");
    QTest::addColumn<Verdict>("verdict");

    // check the worked cases, bit for bit in double precision: 1/30 s is
    // 0.03333333333333333, its fourteenth 2.380952380952381 ms
    const double p30 = 0.03333333333333333;
    QTest::newRow("4 poles 900 rpm")   << 4.0 << 900.0 << 7.6 << 380.0 << 30.0 << 228.0 << p30 << 2.380952380952381 << Verdict::Accepted;
    QTest::newRow("equal to rating")   << 4.0 << 900.0 << 7.6 << 228.0 << 30.0 << 228.0 << p30 << 2.380952380952381 << Verdict::AtOrAboveRating;
    QTest::newRow("just below rating") << 4.0 << 900.0 << 7.6 << 228.00000000000003 << 30.0 << 228.0 << p30 << 2.380952380952381 << Verdict::Accepted;
    QTest::newRow("2 poles 150 rpm")   << 2.0 << 150.0 << 4.0 << 380.0 << 2.5 << 10.0 << 0.4 << 28.571428571428573 << Verdict::Accepted;
    QTest::newRow("6 poles 900 rpm")   << 6.0 << 900.0 << 5.1 << 380.0 << 45.0 << 229.49999999999997 << 0.022222222222222223 << 1.5873015873015872 << Verdict::Accepted;
    QTest::newRow("no rating")         << 4.0 << 900.0 << 7.6 << 0.0 << 30.0 << 228.0 << p30 << 2.380952380952381 << Verdict::AtOrAboveRating;
    // negative entries pass through the formulas unchanged
    QTest::newRow("negative poles")    << -4.0 << 900.0 << 7.6 << 380.0 << -30.0 << -228.0 << -p30 << -2.380952380952381 << Verdict::Accepted;
    // a voltage beyond a double still leaves an ordinary period: it is stored,
    // and the voltage is refused like any other at or above the rating
    QTest::newRow("V/f 1e308")            << 2.0 << 150.0 << 1e308 << 380.0 << 2.5 << inf << 0.4 << 28.571428571428573 << Verdict::AtOrAboveRating;
    QTest::newRow("V/f 1e307 at 30 Hz")   << 4.0 << 900.0 << 1e307 << 380.0 << 30.0 << inf << p30 << 2.380952380952381 << Verdict::AtOrAboveRating;
    QTest::newRow("V/f infinite")         << 2.0 << 150.0 << inf << 380.0 << 2.5 << inf << 0.4 << 28.571428571428573 << Verdict::AtOrAboveRating;
    QTest::newRow("largest rating")       << 2.0 << 150.0 << 1e308 << std::numeric_limits<double>::max() << 2.5 << inf << 0.4 << 28.571428571428573 << Verdict::AtOrAboveRating;
    QTest::newRow("infinite voltage, infinite rating") << 2.0 << 150.0 << 1e308 << inf << 2.5 << inf << 0.4 << 28.571428571428573 << Verdict::AtOrAboveRating;
    QTest::newRow("finite voltage, infinite rating")   << 4.0 << 900.0 << 7.6 << inf << 30.0 << 228.0 << p30 << 2.380952380952381 << Verdict::Accepted;
    QTest::newRow("V/f undefined")        << 2.0 << 150.0 << nan << 380.0 << 2.5 << nan << 0.4 << 28.571428571428573 << Verdict::AtOrAboveRating;
    // a negative voltage is below any rating, however large its magnitude
    QTest::newRow("V/f -1e308")           << 2.0 << 150.0 << -1e308 << 380.0 << 2.5 << -inf << 0.4 << 28.571428571428573 << Verdict::Accepted;
    // a frequency so small that its step time is near the largest double
    QTest::newRow("step time near the largest double") << 1.0 << 1.2e-304 << 7.6 << 380.0 << 1e-306 << 7.6e-306 << 1e306 << 7.142857142857142e307 << Verdict::Accepted;
}

void TestSetPoint::computesSetPoint()
{
    QFETCH(double, poles);
    QFETCH(double, speed);
    QFETCH(double, voltsPerHertz);
    QFETCH(double, rating);
    QFETCH(double, frequency);
    QFETCH(double, voltage);
    QFETCH(double, period);
    QFETCH(double, stepTime);
    QFETCH(Verdict, verdict);

    // a timing held from before, so that keeping it instead of the new one shows
    drive::HeldValues previous;
    previous.period = 0.5;
    previous.stepTime = 99.0;

    const drive::SetPoint s = drive::computeSetPoint(poles, speed, voltsPerHertz, rating, previous);

    QCOMPARE(exact(s.values.frequency), exact(frequency));
    QCOMPARE(exact(s.values.requiredVoltage), exact(voltage));
    QCOMPARE(exact(s.values.period), exact(period));
    QCOMPARE(exact(s.values.stepTime), exact(stepTime));
    QCOMPARE(s.verdict, verdict);
    QVERIFY(s.timingValid);
}

void TestSetPoint::keepsTimingWithoutPeriod_data()
{
    const double inf = std::numeric_limits<double>::infinity();
    QTest::addColumn<double>("poles");
    QTest::addColumn<double>("speed");
    QTest::addColumn<double>("voltsPerHertz");
    QTest::addColumn<Verdict>("verdict");

    QTest::newRow("zero poles")          << 0.0 << 900.0 << 7.6 << Verdict::ZeroFrequency;
    QTest::newRow("zero speed")          << 4.0 << 0.0 << 7.6 << Verdict::ZeroFrequency;
    QTest::newRow("zero speed, V/f 1e308") << 4.0 << 0.0 << 1e308 << Verdict::ZeroFrequency;
    // an infinite frequency gives a period of 0, which is no period either
    QTest::newRow("speed beyond range")  << 4.0 << 1e308 << 7.6 << Verdict::OutOfRange;
    QTest::newRow("negative speed beyond range") << 4.0 << -1e308 << 7.6 << Verdict::OutOfRange;
    QTest::newRow("infinite poles")      << inf << 900.0 << 7.6 << Verdict::OutOfRange;
    QTest::newRow("infinite times zero") << inf << 0.0 << 7.6 << Verdict::OutOfRange;
    QTest::newRow("period overflows")    << 1e-300 << 1e-10 << 7.6 << Verdict::OutOfRange;
    QTest::newRow("step time overflows, period does not") << 1.0 << 6e-306 << 7.6 << Verdict::OutOfRange;
}

// A request that yields no usable period stores what it computed up to the
// voltage, and leaves RUN the step time it had.
void TestSetPoint::keepsTimingWithoutPeriod()
{
    QFETCH(double, poles);
    QFETCH(double, speed);
    QFETCH(double, voltsPerHertz);
    QFETCH(Verdict, verdict);
    drive::HeldValues previous;
    previous.period = 0.03333333333333333;
    previous.stepTime = 2.380952380952381;

    const drive::SetPoint s = drive::computeSetPoint(poles, speed, voltsPerHertz, 380, previous);

    QCOMPARE(s.verdict, verdict);
    QVERIFY(!s.timingValid);
    QCOMPARE(exact(s.values.poles), exact(poles));
    QCOMPARE(exact(s.values.demandSpeed), exact(speed));
    QCOMPARE(exact(s.values.voltsPerHertz), exact(voltsPerHertz));
    QCOMPARE(exact(s.values.period), exact(previous.period));
    QCOMPARE(exact(s.values.stepTime), exact(previous.stepTime));
}

QTEST_APPLESS_MAIN(TestSetPoint)
#include "tst_setpoint.moc"
