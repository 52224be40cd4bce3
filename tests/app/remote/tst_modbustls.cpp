// Modbus/TCP Security: the rights a request needs and the roles table, as
// tables; then the server's TLS listener with real clients as child
// processes, on certificates the openssl command makes at test time:
// pymodbus's TLS client under roles that may and may not control, openssl
// s_client refused, a handshake that never comes, and the files read again.
// Run under ThreadSanitizer too.
#include "app/remote/modbusserver.h"
#include "app/remote/rolestable.h"
#include "fakeconsole.h"
#include "loopbackmodbus.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <poll.h>

#include <algorithm>
#include <functional>

using namespace std::chrono_literals;
using Bytes = ModbusBytes;
namespace right = app::remote::right;

Q_DECLARE_METATYPE(Bytes)

namespace {

constexpr int giveUpMilliseconds = 30000;
const QString roles = QStringLiteral("operator = read, stop, control, commission\nviewer = read, stop\nguest = read\n");

// Runs a client to its end while the window (the fake console) does what the
// server hands it; then its output. With started, runs that when the client
// has said its first line, and goes on.
QString run(FakeConsole& console, const QString& program, const QStringList& arguments,
            const std::function<void()>& started = {})
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.closeWriteChannel();
    QDeadlineTimer giveUp(giveUpMilliseconds);
    bool said = false;
    while (process.state() != QProcess::NotRunning && !giveUp.hasExpired()) {
        console.doHanded();
        process.waitForFinished(5);
        if (started && !said && process.canReadLine()) {
            started();
            said = true;
        }
    }
    return QString::fromUtf8(process.readAll()).simplified();
}

bool logged(FakeConsole& console, const QString& text)
{
    const auto log = console.logSoFar();
    return std::ranges::any_of(log, [&](const std::string& line) { return QString::fromStdString(line).contains(text); });
}

}  // namespace

class TestModbusTls : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void rightsNeeded_data();
    void rightsNeeded();
    void rolesTable_data();
    void rolesTable();
    void handshakes_data();
    void handshakes();
    void clients_data();
    void clients();
    void handshakeNeverComes();
    void unfinishedHandshakesMakeWay();
    void reload_data();
    void reload();

private:
    // The server's files in a folder of their own, which a case may change.
    struct Rig {
        QTemporaryDir site;
        FakeConsole console{[] {
            app::remote::ConsoleReadings readings;
            readings.remoteControlOn = true;
            return readings;
        }()};
        app::remote::RegisterMap map{console, {"V", "P", "1"}};
        std::optional<app::remote::ModbusServer> server;
        Rig(const QString& certificates, std::chrono::nanoseconds handshake = 5s)
        {
            for (const char* name : {"server.crt", "server.key", "ca.crt"})
                QFile::copy(certificates + "/" + name, site.filePath(QString::fromLatin1(name)));
            QFile table(site.filePath("roles"));
            table.open(QIODevice::WriteOnly);
            table.write(roles.toUtf8());
            table.close();
            const auto file = [&](const char* name) { return site.filePath(name).toStdString(); };
            server.emplace(map, console, std::nullopt,
                           app::remote::SecureListen{{"127.0.0.1", 0},
                                                     {file("server.crt"), file("server.key"), file("ca.crt"), file("roles")},
                                                     handshake});
        }
        QString port() const { return QString::number(server->secureEndpoint()->port); }
    };
    QString python(Rig& rig, const QString& who, const QStringList& steps, const std::function<void()>& started = {})
    {
        const QString base = certificates_.filePath(who);
        return run(rig.console, "/usr/bin/python3",
                   QStringList{TLSCLIENT, rig.port(), certificates_.filePath("ca.crt"), base + ".crt", base + ".key"} + steps,
                   started);
    }
    QString sClient(Rig& rig, const QStringList& options)
    {
        return run(rig.console, "openssl",
                   QStringList{"s_client", "-connect", "127.0.0.1:" + rig.port(), "-CAfile", certificates_.filePath("ca.crt")} +
                       options);
    }
    QString certificate(const QString& name) { return certificates_.filePath(name + ".crt"); }
    QString key(const QString& name) { return certificates_.filePath(name + ".key"); }

    QTemporaryDir certificates_;
};

void TestModbusTls::initTestCase()
{
    if (QProcess::execute("/usr/bin/python3", {"-c", "import pymodbus"}) != 0)
        QSKIP("Debian's python3-pymodbus is not installed");
    const QStringList made[] = {
        {"ca", "ca"}, {"ca", "otherca"}, {"server", "server", "ca"}, {"server", "server2", "ca", "rsa"},
        {"client", "operator", "ca", "operator"}, {"client", "viewer", "ca", "viewer"}, {"client", "guest", "ca", "guest"},
        {"client", "norole", "ca"}, {"client", "intruder", "ca", "intruder"}, {"client", "stranger", "otherca", "operator"},
    };
    for (const QStringList& arguments : made)
        QCOMPARE(QProcess::execute(TLSCERTIFICATES, QStringList{certificates_.path()} + arguments), 0);
}

void TestModbusTls::rightsNeeded_data()
{
    QTest::addColumn<Bytes>("pdu");
    QTest::addColumn<int>("needed");

    // reads
    QTest::newRow("holding registers") << Bytes{3, 0, 100, 0, 1} << int(right::read);
    QTest::newRow("input registers") << Bytes{4, 0, 0, 0, 13} << int(right::read);
    QTest::newRow("device identification") << Bytes{43, 14, 1, 0} << int(right::read);
    // the control word
    QTest::newRow("STOP") << Bytes{6, 0, 0, 0, 0} << int(right::stop);
    QTest::newRow("RUN") << Bytes{6, 0, 0, 0, 1} << int(right::control);
    QTest::newRow("fault reset, RUN 0") << Bytes{6, 0, 0, 0, 2} << int(right::control);
    QTest::newRow("reserved bit, RUN 0") << Bytes{6, 0, 0, 0x80, 0} << int(right::control);
    QTest::newRow("STOP and the reference") << Bytes{16, 0, 0, 0, 2, 4, 0, 0, 3, 0x84} << int(right::stop | right::control);
    // the rest of the operating point
    QTest::newRow("speed reference") << Bytes{6, 0, 1, 3, 0x84} << int(right::control);
    QTest::newRow("rated voltage") << Bytes{6, 0, 2, 0x0E, 0xD8} << int(right::commission);
    QTest::newRow("reference and timeout") << Bytes{16, 0, 1, 0, 6, 12, 3, 0x84, 0, 1, 0, 1, 0, 4, 0, 1, 3, 0xE8}
                                           << int(right::control | right::commission);
    // FC23: the write's rights and read
    QTest::newRow("FC23 STOP, status read") << Bytes{23, 0, 100, 0, 1, 0, 0, 0, 1, 2, 0, 0} << int(right::read | right::stop);
    QTest::newRow("FC23 RUN, status read") << Bytes{23, 0, 100, 0, 1, 0, 0, 0, 1, 2, 0, 1} << int(right::read | right::control);
    // nothing of the others: read
    QTest::newRow("past the registers") << Bytes{6, 0, 100, 0, 1} << int(right::read);
    QTest::newRow("function not served") << Bytes{8, 0, 0, 0, 0} << int(right::read);
    QTest::newRow("cut short") << Bytes{6, 0} << int(right::read);
}

void TestModbusTls::rightsNeeded()
{
    QFETCH(Bytes, pdu);
    QFETCH(int, needed);
    QCOMPARE(int(app::remote::rightsNeeded(pdu)), needed);
}

void TestModbusTls::rolesTable_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("role");  // null: a certificate without one
    QTest::addColumn<int>("rights");
    QTest::addColumn<QString>("error");

    QTest::newRow("commas") << "operator = read, stop, control" << "operator" << int(right::all & ~right::commission) << "";
    QTest::newRow("blanks, comments") << "# site\nengineer=read stop  control commission # all\n" << "engineer"
                                      << int(right::all) << "";
    QTest::newRow("no rights") << "guest =" << "guest" << int(right::none) << "";
    QTest::newRow("a blank in the role") << "shift lead = read\r\n" << "shift lead" << int(right::read) << "";
    QTest::newRow("role not in the table") << "operator = read" << "Operator" << int(right::none) << "";
    QTest::newRow("no role") << "operator = read" << QString() << int(right::none) << "";
    QTest::newRow("no '='") << "\noperator read" << "" << 0 << "line 2: no '='";
    QTest::newRow("unknown right") << "x = read, write" << "" << 0 << "line 1: unknown right 'write'";
    QTest::newRow("named twice") << "x = read\nx = stop" << "" << 0 << "line 2: role 'x' is named twice";
    QTest::newRow("control without stop") << "x = read, control" << "" << 0 << "line 1: role 'x' has control without stop";
}

void TestModbusTls::rolesTable()
{
    QFETCH(QString, text);
    QFETCH(QString, role);
    QFETCH(int, rights);
    QFETCH(QString, error);
    try {
        const auto table = app::remote::RolesTable::parse(text.toStdString());
        QVERIFY2(error.isEmpty(), "no error");
        QCOMPARE(int(table.rightsOf(role.isNull() ? std::nullopt : std::optional(role.toStdString()))), rights);
    } catch (const app::remote::RolesTableError& thrown) {
        QVERIFY2(!error.isEmpty() && QString(thrown.what()).startsWith(error), thrown.what());
    }
}

// What the server says of each handshake, s_client's own outcome aside.
void TestModbusTls::handshakes_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("logLine");

    const QStringList operatorCertificate{"-cert", certificate("operator"), "-key", key("operator")};
    QTest::newRow("the operator's certificate") << operatorCertificate
                                                << "TLSv1.3 TLS_AES_128_GCM_SHA256, role \"operator\", may: read, stop, control, commission";
    QTest::newRow("no certificate") << QStringList{} << "TLS refused: peer did not return a certificate";
    QTest::newRow("TLS 1.1") << QStringList{"-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"} + operatorCertificate
                             << "TLS refused: unsupported protocol";
    QTest::newRow("a SHA-1 MAC") << QStringList{"-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-SHA"} + operatorCertificate
                                 << "TLS refused: no shared cipher";
    QTest::newRow("another CA's certificate") << QStringList{"-cert", certificate("stranger"), "-key", key("stranger")}
                                              << "certificate verify failed (unable to get local issuer certificate)";
}

void TestModbusTls::handshakes()
{
    QFETCH(QStringList, options);
    QFETCH(QString, logLine);
    Rig rig(certificates_.path());
    const QString said = sClient(rig, options);
    QTRY_VERIFY2_WITH_TIMEOUT(logged(rig.console, logLine), qPrintable(said), giveUpMilliseconds);
}

void TestModbusTls::clients_data()
{
    QTest::addColumn<QString>("who");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QString>("replies");
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<bool>("stopped");

    // The README's PLC cycle: rating, fault reset, RUN 0, RUN at 900 rpm, STOP.
    QTest::newRow("control: the PLC's cycle") << "operator" << QStringList{"w2=3800,1500,4,760", "w0=2", "w0=0", "c10", "w0=0"}
                                              << "ok ok ok ok ok" << "run 1 started by CN=operator" << true;
    QTest::newRow("read and stop") << "viewer" << QStringList{"w2=3800,1500,4,760", "w0=1", "r100:1", "w0=0"}
                                   << "exception 1 exception 1 2112 ok"
                                   << "(CN=viewer), role \"viewer\": function 6 refused, exception 1 (needs control)" << true;
    QTest::newRow("read only") << "guest" << QStringList{"w0=0", "r100:1"} << "exception 1 2112"
                               << "role \"guest\": function 6 refused, exception 1 (needs stop)" << false;
    QTest::newRow("no role") << "norole" << QStringList{"r100:1", "w0=0"} << "exception 1 exception 1"
                             << "(CN=norole), no role: function 3 refused, exception 1 (needs read)" << false;
    QTest::newRow("role not in the table") << "intruder" << QStringList{"r100:1"} << "exception 1"
                                           << "role \"intruder\", not in the roles table: function 3 refused" << false;
}

void TestModbusTls::clients()
{
    QFETCH(QString, who);
    QFETCH(QStringList, steps);
    QFETCH(QString, replies);
    QFETCH(QString, logLine);
    QFETCH(bool, stopped);
    Rig rig(certificates_.path());
    QCOMPARE(python(rig, who, steps), replies);
    QVERIFY2(logged(rig.console, logLine), qPrintable(logLine));
    QCOMPARE(std::ranges::count(rig.console.doneSoFar(), std::string("stop")) > 0, stopped);
}

// A connection that never begins its handshake holds a place until the
// limit, and nobody else: another client's handshake, its run and its
// communication-loss watch go on meanwhile.
void TestModbusTls::handshakeNeverComes()
{
    Rig rig(certificates_.path(), 500ms);
    int silent = -1;
    // The timeout at 300 ms, then RUN cycles for 1.5 s, then gone without a STOP.
    const QString replies = python(rig, "operator", {"w6=300", "w2=3800,1500,4,760", "w0=0", "c30"}, [&] { silent = connectToLoopback(rig.port().toUShort()); });
    QCOMPARE(replies, QString("ok ok ok ok"));
    QVERIFY(silent >= 0);
    pollfd closed{silent, POLLIN, 0};
    QCOMPARE(poll(&closed, 1, giveUpMilliseconds), 1);
    std::array<char, 1> byte{};
    QCOMPARE(recv(silent, byte.data(), byte.size(), 0), ssize_t(0));
    ::close(silent);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.console.doneSoFar().empty() && rig.console.doneSoFar().back().starts_with("lost"),
                             giveUpMilliseconds);
    const auto log = rig.console.logSoFar();
    const auto at = [&](const char* text) {
        return std::ranges::find_if(log, [&](const std::string& line) { return line.find(text) != line.npos; }) - log.begin();
    };
    QVERIFY(at("role \"operator\"") < at("no TLS handshake within 500 ms: dropped"));
    QVERIFY(at("no TLS handshake within 500 ms: dropped") < at("sent nothing for"));
}

// Connections that never finish their handshake fill every place: a client
// with a certificate still gets in, the oldest of them making way.
void TestModbusTls::unfinishedHandshakesMakeWay()
{
    Rig rig(certificates_.path());
    std::vector<int> silent;
    for (std::size_t i = 0; i < app::remote::ModbusServer::mostClients; ++i)
        silent.push_back(connectToLoopback(rig.port().toUShort()));
    QCOMPARE(python(rig, "guest", {"r100:1"}), QString("2112"));
    QVERIFY(logged(rig.console, "TLS handshake unfinished, dropped to let a new connection in"));
    for (const int fd : silent)
        ::close(fd);
}

// The files are read again for the connections made after it: on a reload
// request (what SIGHUP asks) and on a file that changes; one that cannot be
// used leaves the ones in use.
void TestModbusTls::reload_data()
{
    QTest::addColumn<QString>("changed");  // the site's file, and what it gets
    QTest::addColumn<QString>("to");
    QTest::addColumn<bool>("asked");
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<QString>("client");  // s_client, or the python client's steps
    QTest::addColumn<QString>("seen");

    QTest::newRow("certificate replaced, reload asked") << "server" << "server2" << true << "read again (asked)"
                                                        << "s_client" << "Cipher is ECDHE-RSA-AES128-GCM-SHA256";
    QTest::newRow("roles table changed") << "roles" << "operator = read, stop" << false << "read again (a file changed)"
                                         << "w0=1" << "exception 1";
    QTest::newRow("key unusable, reload asked") << "server.key" << "not a key" << true
                                                << "not read again (asked): the server's key" << "r100:1" << "2112";
}

void TestModbusTls::reload()
{
    QFETCH(QString, changed);
    QFETCH(QString, to);
    QFETCH(bool, asked);
    QFETCH(QString, logLine);
    QFETCH(QString, client);
    QFETCH(QString, seen);
    Rig rig(certificates_.path());
    const auto replace = [&](const QString& name, const QByteArray& bytes) {
        QFile file(rig.site.filePath(name + ".new"));  // written whole, then renamed over, as tools do
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();
        QVERIFY(std::rename(qPrintable(file.fileName()), qPrintable(rig.site.filePath(name))) == 0);
    };
    if (changed == "server") {
        for (const char* suffix : {".crt", ".key"}) {
            QFile made(certificates_.filePath(to + suffix));
            QVERIFY(made.open(QIODevice::ReadOnly));
            replace(changed + suffix, made.readAll());
        }
    } else {
        replace(changed, to.toUtf8());
    }
    if (asked)
        rig.server->reload();
    QTRY_VERIFY_WITH_TIMEOUT(logged(rig.console, logLine), giveUpMilliseconds);
    const QString said = client == "s_client"
                             ? sClient(rig, {"-tls1_2", "-cert", certificate("operator"), "-key", key("operator")})
                             : python(rig, "operator", {client});
    QVERIFY2(said.contains(seen), qPrintable(said));
}

QTEST_GUILESS_MAIN(TestModbusTls)
#include "tst_modbustls.moc"
