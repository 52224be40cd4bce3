// The limit checks on typed values, judged on field texts.
#include <QTest>

#include "app/fields/inputchecks.h"

class TestInputChecks : public QObject
{
    Q_OBJECT

private slots:
    void power_data();
    void power();
    void powerFactor_data();
    void powerFactor();
    void speeds_data();
    void speeds();
};

void TestInputChecks::power_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("passes");
    QTest::newRow("exactly 2000")   << "2000" << true;
    QTest::newRow("just above")     << "2000.0001" << false;
    QTest::newRow("2500")           << "2500" << false;
    QTest::newRow("empty")          << "" << true;
    QTest::newRow("not a number")   << "abc" << true;
    QTest::newRow("comma ends it")  << "2,500" << true;
    QTest::newRow("blank inside")   << "2 500" << false;
}

void TestInputChecks::power()
{
    QFETCH(QString, text);
    QFETCH(bool, passes);
    QCOMPARE(app::fields::powerPasses(text.toStdString()), passes);
}

void TestInputChecks::powerFactor_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("passes");
    QTest::newRow("empty")         << "" << true;
    QTest::newRow("one blank")     << " " << false;
    QTest::newRow("1")             << "1" << false;
    QTest::newRow("0.6")           << "0.6" << false;
    QTest::newRow("0.61")          << "0.61" << true;
    QTest::newRow(".95")           << ".95" << true;
    QTest::newRow("0.9999")        << "0.9999" << true;
    QTest::newRow("not a number")  << "abc" << false;
    QTest::newRow("comma")         << "0,8" << false;
}

void TestInputChecks::powerFactor()
{
    QFETCH(QString, text);
    QFETCH(bool, passes);
    QCOMPARE(app::fields::powerFactorPasses(text.toStdString()), passes);
}

void TestInputChecks::speeds_data()
{
    QTest::addColumn<QString>("rated");
    QTest::addColumn<QString>("poles");
    QTest::addColumn<QString>("speed");
    QTest::addColumn<bool>("withinRated");
    QTest::addColumn<bool>("twoPole");
    QTest::addColumn<bool>("fourPole");

    QTest::newRow("2 poles at limit")        << "3000" << "2"   << "2100" << true  << true  << true;
    QTest::newRow("2 poles above")           << "3000" << "2"   << "2101" << true  << false << true;
    QTest::newRow("2.0 counts as 2")         << "3000" << "2.0" << "2200" << true  << false << true;
    QTest::newRow("blank 2 counts as 2")     << "3000" << " 2"  << "2200" << true  << false << true;
    QTest::newRow("2.5 has no limit")        << "3000" << "2.5" << "2200" << true  << true  << true;
    QTest::newRow("4 poles at limit")        << "3000" << "4"   << "1050" << true  << true  << true;
    QTest::newRow("4 poles above")           << "3000" << "4"   << "1100" << true  << true  << false;
    QTest::newRow("6 poles has no limit")    << "9000" << "6"   << "9000" << true  << true  << true;
    QTest::newRow("above rated")             << "960"  << "6"   << "961"  << false << true  << true;
    QTest::newRow("equal to rated")          << "960"  << "6"   << "960"  << true  << true  << true;
    QTest::newRow("no rated speed")          << ""     << "6"   << "1"    << false << true  << true;
    QTest::newRow("no rated speed, 0 typed") << ""     << "6"   << "0"    << true  << true  << true;
    QTest::newRow("empty speed")             << ""     << "4"   << ""     << true  << true  << true;
}

void TestInputChecks::speeds()
{
    QFETCH(QString, rated);
    QFETCH(QString, poles);
    QFETCH(QString, speed);
    QFETCH(bool, withinRated);
    QFETCH(bool, twoPole);
    QFETCH(bool, fourPole);

    QCOMPARE(app::fields::demandSpeedWithinRated(rated.toStdString(), speed.toStdString()), withinRated);
    QCOMPARE(app::fields::twoPoleSpeedPasses(poles.toStdString(), speed.toStdString()), twoPole);
    QCOMPARE(app::fields::fourPoleSpeedPasses(poles.toStdString(), speed.toStdString()), fourPole);
}

QTEST_APPLESS_MAIN(TestInputChecks)
#include "tst_inputchecks.moc"
