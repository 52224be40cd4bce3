// The commissioning file: every kind of bad file gives one line naming the
// file, the line and the key; a good one gives its values, the rest their
// defaults.
#include <QTest>

#include "app/service/commissioning.h"

using app::service::Commissioning;
using app::service::parseCommissioning;

class TestCommissioning : public QObject
{
    Q_OBJECT

private slots:
    void badFile_data();
    void badFile();
    void goodFile_data();
    void goodFile();
};

void TestCommissioning::badFile_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("error");
    const QString f = QStringLiteral("/etc/fc.conf");
    QTest::newRow("unknown key")
        << "port = simulated\nprot = /dev/parport0\n"
        << f + ":2: prot: unknown key; the keys are port, keep-alive, listen, insecure, tls-listen, "
               "tls-certificate, tls-key, tls-ca, roles, remote-control, communication-loss-timeout, rated-voltage, "
               "rated-speed, poles, volts-per-hertz";
    QTest::newRow("not key = value")
        << "# a comment\n[converter]\n" << f + ":2: [converter]: not a 'key = value' line";
    QTest::newRow("given twice")
        << "port = simulated\n\nport = /dev/parport0\n" << f + ":3: port: given again (first on line 1)";
    QTest::newRow("bad listen")
        << "port = simulated\nlisten = 127.0.0.1\n"
        << f + ":2: listen: bad value '127.0.0.1': give an IPv4 address and a port, such as 127.0.0.1:1502, or off";
    QTest::newRow("no listener at all")
        << "port = simulated\nlisten = off\n" << f + ":2: listen: off, and no tls-listen: no client could reach the converter";
    QTest::newRow("TLS files without tls-listen")
        << "port = simulated\nroles = /etc/r\ntls-ca = /etc/ca\n"
        << f + ":2: roles: needs tls-listen, where Modbus/TCP Security listens";
    QTest::newRow("tls-listen without its key")
        << "port = simulated\ntls-listen = 0.0.0.0\ntls-certificate = c\ntls-ca = a\nroles = r\n"
        << f + ":2: tls-listen: needs tls-key";
    QTest::newRow("bad yes or no")
        << "insecure = maybe\n" << f + ":1: insecure: bad value 'maybe': give yes or no";
    QTest::newRow("timeout below 100 ms")
        << "communication-loss-timeout = 99\n"
        << f + ":1: communication-loss-timeout: bad value '99': give milliseconds from 100 to 60000";
    QTest::newRow("timeout with a unit")
        << "communication-loss-timeout = 1s\n"
        << f + ":1: communication-loss-timeout: bad value '1s': give milliseconds from 100 to 60000";
    QTest::newRow("voltage finer than 0.1 V")
        << "rated-voltage = 230.05\n"
        << f + ":1: rated-voltage: bad value '230.05': give volts from 0.1 to 1000 in steps of 0.1";
    QTest::newRow("voltage with a comma")
        << "rated-voltage = 230,5\n"
        << f + ":1: rated-voltage: bad value '230,5': give volts from 0.1 to 1000 in steps of 0.1";
    QTest::newRow("odd poles")
        << "poles = 3\n" << f + ":1: poles: bad value '3': give poles from 2 to 24, even";
    QTest::newRow("port auto")
        << "port = auto\n"
        << f + ":1: port: bad value 'auto': auto falls back to the simulated port where it finds none; name the "
               "port (/dev/parportN or gpio:CHIP[:LINES]), or simulated to try the service";
    QTest::newRow("port neither device nor gpio")
        << "port = parport0\n"
        << f + ":1: port: bad value 'parport0': use a device such as /dev/parport0, gpio:CHIP[:LINES], or simulated";
    QTest::newRow("gpio lines short")
        << "port = gpio:gpiochip0:1,2\n"
        << QString(f + ":1: port: bad value 'gpio:gpiochip0:1,2': ");  // then the GPIO choice's own line
    QTest::newRow("listen off loopback")
        << "port = simulated\nlisten = 0.0.0.0:1502\n"
        << f + ":2: listen: 0.0.0.0:1502 is not a loopback address, and Modbus TCP has no authentication: anyone "
               "who reaches it may run the motor; add 'insecure = yes' to listen there anyway";
    QTest::newRow("missing port")
        << "# nothing but\nremote-control = on\n"
        << f + ": port: missing; name the port the converter is wired to, such as port = /dev/parport0 or "
               "port = gpio:gpiochip0";
}

void TestCommissioning::badFile()
{
    QFETCH(QString, text);
    QFETCH(QString, error);
    const app::service::CommissioningRead read = parseCommissioning(text.toStdString(), "/etc/fc.conf");
    QVERIFY(!read.commissioning);
    QVERIFY(read.error.find('\n') == std::string::npos);
    QVERIFY2(QString::fromStdString(read.error).startsWith(error), read.error.c_str());
    if (!error.endsWith(QStringLiteral(": ")))
        QCOMPARE(QString::fromStdString(read.error), error);
}

void TestCommissioning::goodFile_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("listen");
    QTest::addColumn<bool>("remoteControl");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<double>("ratedVoltage");  // 0: not given
    QTest::addColumn<double>("poles");
    QTest::newRow("port alone: the defaults")
        << "port = gpio:gpiochip0\n" << "127.0.0.1:1502" << false << 1000 << 0.0 << 0.0;
    QTest::newRow("every key, blanks, comments, CRLF")
        << "# converter 3\r\n\r\n  port=/dev/parport1\r\nlisten = 127.0.0.2:502\r\nremote-control = on\r\n"
           "communication-loss-timeout = 60000\r\nrated-voltage = 380.5\r\nrated-speed = 1450\r\n"
           "poles = 4\r\nvolts-per-hertz = 7.61\r\n"
        << "127.0.0.2:502" << true << 60000 << 380.5 << 4.0;
    QTest::newRow("off loopback with insecure")
        << "insecure = yes\nlisten = 0.0.0.0:1502\nport = simulated\nremote-control = off"
        << "0.0.0.0:1502" << false << 1000 << 0.0 << 0.0;
    QTest::newRow("TLS alone, off loopback, port 802")
        << "port = simulated\nlisten = off\ntls-listen = 0.0.0.0\ntls-certificate = c\ntls-key = k\n"
           "tls-ca = a\nroles = r\n"
        << "0.0.0.0:802 TLS" << false << 1000 << 0.0 << 0.0;
}

void TestCommissioning::goodFile()
{
    QFETCH(QString, text);
    QFETCH(QString, listen);
    QFETCH(bool, remoteControl);
    QFETCH(int, timeout);
    QFETCH(double, ratedVoltage);
    QFETCH(double, poles);
    const app::service::CommissioningRead read = parseCommissioning(text.toStdString(), "fc.conf");
    QVERIFY2(read.commissioning, read.error.c_str());
    const Commissioning& taken = *read.commissioning;
    QVERIFY(!taken.port.empty());
    const QString served = taken.listen ? QString::fromStdString(taken.listen->text())
                                        : QString::fromStdString(taken.secure->endpoint.text()) + " TLS";
    QCOMPARE(served, listen);
    QCOMPARE(taken.remoteControl, remoteControl);
    QCOMPARE(taken.communicationLossTimeout.count(), timeout);
    QCOMPARE(taken.motor.ratedVoltage.value_or(0.0), ratedVoltage);
    QCOMPARE(taken.motor.poles.value_or(0.0), poles);
}

QTEST_APPLESS_MAIN(TestCommissioning)
#include "tst_commissioning.moc"
