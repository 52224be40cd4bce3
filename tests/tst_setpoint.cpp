// Required Voltage's computation: frequency, voltage, period, step time and verdict.
#include <QTest>

#include <cmath>
#include <limits>

#include "drive/setpoint.h"

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
    QTest::addColumn<double>("poles");
    QTest::addColumn<double>("speed");
    QTest::addColumn<double>("voltsPerHertz");
    QTest::addColumn<double>("rating");
    QTest::addColumn<double>("frequency");
    QTest::addColumn<double>("voltage");
    QTest::addColumn<double>("stepTime");
    QTest::addColumn<Verdict>("verdict");

    // check the worked cases, bit for bit in double precision
    QTest::newRow("4 poles 900 rpm")   << 4.0 << 900.0 << 7.6 << 380.0 << 30.0 << 228.0 << 2.380952380952381 << Verdict::Accepted;
    QTest::newRow("equal to rating")   << 4.0 << 900.0 << 7.6 << 228.0 << 30.0 << 228.0 << 2.380952380952381 << Verdict::AtOrAboveRating;
    QTest::newRow("just below rating") << 4.0 << 900.0 << 7.6 << 228.00000000000003 << 30.0 << 228.0 << 2.380952380952381 << Verdict::Accepted;
    QTest::newRow("2 poles 150 rpm")   << 2.0 << 150.0 << 4.0 << 380.0 << 2.5 << 10.0 << 28.571428571428573 << Verdict::Accepted;
    QTest::newRow("6 poles 900 rpm")   << 6.0 << 900.0 << 5.1 << 380.0 << 45.0 << 229.49999999999997 << 1.5873015873015872 << Verdict::Accepted;
    QTest::newRow("no rating")         << 4.0 << 900.0 << 7.6 << 0.0 << 30.0 << 228.0 << 2.380952380952381 << Verdict::AtOrAboveRating;
    // negative entries pass through the formulas unchanged
    QTest::newRow("negative poles")    << -4.0 << 900.0 << 7.6 << 380.0 << -30.0 << -228.0 << -2.380952380952381 << Verdict::Accepted;
}

void TestSetPoint::computesSetPoint()
{
    QFETCH(double, poles);
    QFETCH(double, speed);
    QFETCH(double, voltsPerHertz);
    QFETCH(double, rating);
    QFETCH(double, frequency);
    QFETCH(double, voltage);
    QFETCH(double, stepTime);
    QFETCH(Verdict, verdict);

    const drive::SetPoint s = drive::computeSetPoint(poles, speed, voltsPerHertz, rating, {});

    QCOMPARE(s.values.frequency, frequency);
    QCOMPARE(s.values.requiredVoltage, voltage);
    QCOMPARE(s.values.period, 1 / frequency);
    QCOMPARE(s.values.stepTime, stepTime);
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
    QTest::newRow("speed beyond range")  << 4.0 << 1e308 << 7.6 << Verdict::OutOfRange;
    QTest::newRow("infinite times zero") << inf << 0.0 << 7.6 << Verdict::OutOfRange;
    QTest::newRow("voltage overflows")   << 4.0 << 900.0 << 1e307 << Verdict::OutOfRange;
    QTest::newRow("period overflows")    << 1e-300 << 1e-10 << 7.6 << Verdict::OutOfRange;
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
    previous.period = 1.0 / 30;
    previous.stepTime = 2.380952380952381;

    const drive::SetPoint s = drive::computeSetPoint(poles, speed, voltsPerHertz, 380, previous);

    QCOMPARE(s.verdict, verdict);
    QVERIFY(!s.timingValid);
    QCOMPARE(s.values.poles, poles);
    QCOMPARE(s.values.demandSpeed, speed);
    QCOMPARE(s.values.voltsPerHertz, voltsPerHertz);
    QCOMPARE(s.values.period, previous.period);
    QCOMPARE(s.values.stepTime, previous.stepTime);
}

QTEST_APPLESS_MAIN(TestSetPoint)
#include "tst_setpoint.moc"
