// Starts the frequency converter's operator window on the parallel port, on
// GPIO lines when named (--port=gpio:...), or on the simulated port where no
// parallel port can be used. --self-test measures
// how closely this PC holds the steps, prints the figures and exits; --help and
// --version print and exit. Those three need no display. --write-log keeps
// what reaches the simulated port in a file, for tests and diagnostics.
// --modbus serves remote control over Modbus TCP, off unless asked for, on
// loopback unless --modbus-insecure; --modbus-tls serves it over Modbus/TCP
// Security, with its certificate, key, CAs and roles table.
// --keep-alive toggles a spare pin while the program lives, for a circuit that
// holds the converter's power stage enabled only while it toggles.
// --config takes the port, the Modbus address, remote control and the
// motor's values from a commissioning file, in place of the operator, and
// speaks systemd's notify protocol; --idle-port writes the idle pair on the
// commissioned port and exits (the service's ExecStopPost=).
#include <QApplication>
#include <QCommandLineParser>
#include <QFile>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>

#include "app/console/messagebox.h"
#include "app/console/operatorconsole.h"
#include "app/console/runadapter.h"
#include "app/platform/realtimekitclient.h"
#include "app/platform/terminationsignals.h"
#include "app/remote/modbusserver.h"
#include "app/remote/registermap.h"
#include "app/remote/remoteconsole.h"
#include "app/remote/remoteswitch.h"
#include "app/remote/requestmessagebox.h"
#include "app/selftest/selftestverdict.h"
#include "app/service/commissionedconsole.h"
#include "app/service/commissioning.h"
#include "app/service/idleport.h"
#include "app/service/servicelink.h"
#include "app/window/applicationicon.h"
#include "app/window/form1.h"
#include "app/window/modalmessagebox.h"
#include "app/window/qtfiledialog.h"
#include "port/backend/crashguard.h"
#include "port/backend/module1.h"
#include "port/backend/portselection.h"
#include "port/backend/simulatedport.h"
#include "port/record/recordedport.h"
#include "port/run/exitguard.h"
#include "port/run/realtimepriority.h"
#include "port/run/threadpinning.h"
#include "port/selftest/timingselftest.h"

namespace {

// With no window, what the console would show in a box goes to stderr, one
// line, where the journal keeps it; nobody has to press OK.
class StderrMessageBox final : public app::console::MessageBox
{
public:
    void show(const QString& prompt, const QString& title) override
    {
        // A port's error is on stderr already, as the console's ERROR line.
        if (title == QCoreApplication::translate("Form1", "Port Error"))
            return;
        std::fprintf(stderr, "frequency-converter: %s: %s\n", qPrintable(title),
                     qPrintable(prompt.simplified()));
    }
};

// The step thread's priority: from the kernel where this user may take it,
// else from RealtimeKit, else normal. A refusal is said on stderr once, with
// every reason: the strip says only "normal priority". Later step threads
// (the self-test's) ask the same and are refused the same.
port::run::StepThreadSetup realtimeSetup(app::platform::RealtimeKitClient& realtimeKit)
{
    return [&realtimeKit](int tid) {
        port::run::PriorityGrant grant =
            port::run::requestRealtime(tid, port::run::stepThreadPriority, port::run::linuxScheduling(), &realtimeKit);
        static std::atomic<bool> refusalSaid{false};
        if (!grant.refusal.empty() && !refusalSaid.exchange(true))
            std::fprintf(stderr, "frequency-converter: WARNING: the step thread runs at normal priority: %s\n",
                         grant.refusal.c_str());
        return grant;
    };
}

// Whether the command line asks for no window (help, the version, the
// self-test, --idle-port, --headless), which must work without a display: a QApplication
// aborts where it finds none, so this is decided before one exists. The
// arguments are read as the parser reads them: the argument after an option
// that takes a value is that value, and nothing after "--" is an option.
bool wantsNoWindow(int argc, char* argv[])
{
    constexpr std::array<std::string_view, 8> textOnly{"--help", "-h", "--help-all", "--version", "-v",
                                                       "--self-test", "--idle-port", "--headless"};
    constexpr std::array<std::string_view, 10> takingValue{
        "--port", "--self-test-seconds", "--write-log", "--keep-alive", "--modbus-tls", "--modbus-tls-certificate",
        "--modbus-tls-key", "--modbus-tls-ca", "--modbus-roles", "--config"};
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument(argv[i]);
        if (argument == "--")
            return false;
        if (std::ranges::find(takingValue, argument) != takingValue.end())
            ++i;
        else if (std::ranges::find(textOnly, argument) != textOnly.end())
            return true;
    }
    return false;
}

// "--modbus" alone listens on the loopback address at the default port;
// QCommandLineParser knows no option whose value may be left out.
QStringList withModbusDefault(QStringList arguments)
{
    const app::remote::Endpoint loopback;
    for (QString& argument : arguments) {
        if (argument == QLatin1String("--"))
            break;
        if (argument == QLatin1String("--modbus"))
            argument = QStringLiteral("--modbus=") + QString::fromStdString(loopback.text());
    }
    return arguments;
}

// Modbus/TCP Security's listener from its options: nothing when not asked
// for; refused (exit status 2) with one error line when the address is bad or
// a file is not named.
std::optional<app::remote::SecureListen> secureListen(const QCommandLineParser& parser,
                                                      const std::array<QCommandLineOption, 5>& options, bool& refused)
{
    const auto& [listen, certificate, key, authorities, roles] = options;
    if (!parser.isSet(listen)) {
        for (const QCommandLineOption& file : {certificate, key, authorities, roles})
            if (parser.isSet(file)) {
                std::fprintf(stderr, "frequency-converter: ERROR: --%s needs --modbus-tls\n",
                             qPrintable(file.names().constFirst()));
                refused = true;
            }
        return std::nullopt;
    }
    app::remote::SecureListen secure;
    const auto endpoint =
        app::remote::parseEndpoint(parser.value(listen).toStdString(), app::remote::SecureListen::defaultPort);
    if (!endpoint) {
        std::fprintf(stderr, "frequency-converter: ERROR: bad --modbus-tls address '%s': give an IPv4 address and "
                             "optionally a port, such as 0.0.0.0:802\n", qPrintable(parser.value(listen)));
        refused = true;
        return std::nullopt;
    }
    secure.endpoint = *endpoint;
    std::string* const paths[] = {&secure.files.certificate, &secure.files.key, &secure.files.authorities,
                                  &secure.files.roles};
    const QCommandLineOption* const named[] = {&certificate, &key, &authorities, &roles};
    for (std::size_t i = 0; i < std::size(named); ++i) {
        *paths[i] = QFile::encodeName(parser.value(*named[i])).toStdString();
        if (paths[i]->empty()) {
            std::fprintf(stderr, "frequency-converter: ERROR: --modbus-tls needs --%s\n",
                         qPrintable(named[i]->names().constFirst()));
            refused = true;
        }
    }
    return secure;
}

int runSelfTest(double seconds, const port::run::StepThreadSetup& setup)
{
    const std::atomic<bool> never{false};
    const port::selftest::SelfTestResult result = port::selftest::runTimingSelfTest(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds)),
        never, setup);
    // The sentences in the C locale's figures, as the figure lines above them.
    const QByteArray verdict = app::selftest::selfTestVerdict(result, QLocale::c()).toUtf8();
    if (result.failed()) {
        std::fprintf(stderr, "frequency-converter: ERROR: %s\n", verdict.constData());
        return 1;
    }
    std::printf("%s\n%s\n", port::selftest::selfTestFigures(result).c_str(), verdict.constData());
    return 0;
}

}  // namespace

int main(int argc, char* argv[])
{
    // Before anything starts a thread, so that every thread inherits the
    // mask: termination signals are taken by the signal thread alone, which
    // answers them even when the window's thread does not. SIGPIPE is
    // ignored from here on.
    app::platform::TerminationSignals::blockInEveryThread();
    // Before any other thread exists, so that none of them lands on the step CPU.
    port::run::reserveStepCpu();

    std::unique_ptr<QCoreApplication> application = wantsNoWindow(argc, argv)
                                                        ? std::make_unique<QCoreApplication>(argc, argv)
                                                        : std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("frequency-converter"));
    // From the project's version in CMake, its one home.
    QCoreApplication::setApplicationVersion(QStringLiteral(FC_VERSION));
    // Every window shows the program's icon, the refusal box at start too.
    if (auto* guiApplication = qobject_cast<QApplication*>(application.get())) {
        guiApplication->setWindowIcon(app::window::applicationIcon());
        // Lets the desktop match the window to the menu entry and its icon.
        QGuiApplication::setDesktopFileName(QStringLiteral("frequency-converter"));
    }

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QCoreApplication::translate("main", "Operator's console of a PC-driven frequency converter."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QCoreApplication::translate("main", "Port to drive: auto, simulated, /dev/parportN, or GPIO lines as "
                                            "gpio:CHIP[:LINES] (CHIP: /dev/gpiochipN, gpiochipN or its label; "
                                            "LINES: D0-D7, C1 and optionally pins 1, 16, 17, each an offset or "
                                            "a line name, default the Raspberry Pi's GPIO17,18,27,22,23,24,25,12,13)."),
        QStringLiteral("choice"), QStringLiteral("auto"));
    const QCommandLineOption selfTestOption(
        QStringLiteral("self-test"),
        QCoreApplication::translate("main", "Measure how closely this PC holds the steps, print the "
                                            "figures and exit. Writes to no port."));
    const QCommandLineOption secondsOption(
        QStringLiteral("self-test-seconds"),
        QCoreApplication::translate("main", "How long the self-test measures, at most 60 (default 3)."),
        QStringLiteral("seconds"), QStringLiteral("3"));
    const QCommandLineOption writeLogOption(
        QStringLiteral("write-log"),
        QCoreApplication::translate("main", "For tests and diagnostics: append every write the simulated port "
                                            "takes to <path>, 3 bytes a write (address low byte, high byte, "
                                            "value). Simulated port only."),
        QStringLiteral("path"));
    parser.addOption(portOption);
    parser.addOption(selfTestOption);
    parser.addOption(secondsOption);
    const QCommandLineOption modbusOption(
        QStringLiteral("modbus"),
        QCoreApplication::translate("main", "Serve remote control over Modbus TCP at <address:port> (IPv4); "
                                            "--modbus alone: 127.0.0.1:1502. The operator turns it on in the "
                                            "window."),
        QStringLiteral("address:port"));
    const QCommandLineOption keepAliveOption(
        QStringLiteral("keep-alive"),
        QCoreApplication::translate("main", "Toggle <pin> every 5 ms (100 Hz) while the program runs, at idle as "
                                            "during a run, for a circuit that enables the converter only while it "
                                            "toggles: pin 1, 16 or 17 on a parallel or the simulated port, a line "
                                            "(offset or name) of the same chip on GPIO."),
        QStringLiteral("pin"));
    const QCommandLineOption insecureOption(
        QStringLiteral("modbus-insecure"),
        QCoreApplication::translate("main", "Let --modbus listen on an address other hosts can reach. Modbus TCP has "
                                            "no authentication: any host on that network can start the motor."));
    const std::array<QCommandLineOption, 5> secureOptions{
        QCommandLineOption(QStringLiteral("modbus-tls"),
                           QCoreApplication::translate("main", "Serve remote control over Modbus/TCP Security "
                                                               "(TLS with client certificates and roles) at "
                                                               "<address[:port]> (IPv4, port 802 by default)."),
                           QStringLiteral("address[:port]")),
        QCommandLineOption(QStringLiteral("modbus-tls-certificate"),
                           QCoreApplication::translate("main", "The server's certificate for --modbus-tls, PEM, "
                                                               "followed by its chain."),
                           QStringLiteral("path")),
        QCommandLineOption(QStringLiteral("modbus-tls-key"),
                           QCoreApplication::translate("main", "The server's private key for --modbus-tls, PEM, "
                                                               "not encrypted."),
                           QStringLiteral("path")),
        QCommandLineOption(QStringLiteral("modbus-tls-ca"),
                           QCoreApplication::translate("main", "The CA certificates whose clients --modbus-tls "
                                                               "trusts, PEM."),
                           QStringLiteral("path")),
        QCommandLineOption(QStringLiteral("modbus-roles"),
                           QCoreApplication::translate("main", "The roles table of --modbus-tls: what each "
                                                               "certificate's role may do."),
                           QStringLiteral("path")),
    };
    parser.addOption(writeLogOption);
    parser.addOption(modbusOption);
    parser.addOption(insecureOption);
    for (const QCommandLineOption& option : secureOptions)
        parser.addOption(option);
    parser.addOption(keepAliveOption);
    const QCommandLineOption configOption(
        QStringLiteral("config"),
        QCoreApplication::translate("main", "Take the port, the Modbus TCP address, remote control, the "
                                            "communication-loss timeout and the motor's values from the "
                                            "commissioning file <file> (default for the service: %1), in place "
                                            "of --port, --modbus and the operator's switch.")
            .arg(QLatin1String(app::service::defaultCommissioningPath)),
        QStringLiteral("file"));
    const QCommandLineOption idlePortOption(
        QStringLiteral("idle-port"),
        QCoreApplication::translate("main", "Write the idle pair (data 0, then control 2) on the commissioned "
                                            "port and exit: the service's ExecStopPost=. Needs no display."));
    parser.addOption(configOption);
    parser.addOption(idlePortOption);
    const QCommandLineOption headlessOption(
        QStringLiteral("headless"),
        QCoreApplication::translate("main", "Run without a window or a display, set up by the commissioning file "
                                            "(see --config), commanded over Modbus: the systemd service."));
    parser.addOption(headlessOption);
    parser.process(withModbusDefault(QCoreApplication::arguments()));
    app::platform::RealtimeKitClient realtimeKit;
    const bool headless = parser.isSet(headlessOption);

    if (parser.isSet(selfTestOption)) {
        // No run and no window to leave: Ctrl+C ends the self-test at once.
        app::platform::TerminationSignals::unblockInThisThread();
        bool ok = false;
        const double seconds = parser.value(secondsOption).toDouble(&ok);
        const double longest = std::chrono::duration<double>(port::selftest::selfTestLongestDuration).count();
        if (!ok || !(seconds > 0.0) || seconds > longest) {
            std::fprintf(stderr, "frequency-converter: ERROR: bad self-test length '%s': give seconds "
                                 "above 0 and at most %g\n", qPrintable(parser.value(secondsOption)), longest);
            return 2;
        }
        return runSelfTest(seconds, realtimeSetup(realtimeKit));
    }

    // Read and checked whole before any port is opened: a bad file writes nothing.
    std::optional<app::service::Commissioning> commissioning;
    if (parser.isSet(configOption) || parser.isSet(idlePortOption) || headless) {
        const std::string path = parser.isSet(configOption) ? parser.value(configOption).toStdString()
                                                            : app::service::defaultCommissioningPath;
        app::service::CommissioningRead read = app::service::readCommissioning(path);
        // What the file decides is not an option's too.
        for (const QCommandLineOption* option : {&portOption, &modbusOption, &insecureOption, &keepAliveOption,
                                                 &secureOptions[0], &secureOptions[1], &secureOptions[2],
                                                 &secureOptions[3], &secureOptions[4]})
            if (read.commissioning && parser.isSet(*option))
                read = {std::nullopt, "--" + option->names().constFirst().toStdString() +
                                          " is the commissioning file's to set: see its keys in " + path};
        if (!read.commissioning) {
            app::platform::TerminationSignals::unblockInThisThread();  // nothing to leave idle
            std::fprintf(stderr, "frequency-converter: ERROR: %s\n", read.error.c_str());
            return 2;
        }
        // Signals stay blocked: the pair is never split.
        if (parser.isSet(idlePortOption))
            return app::service::writeIdlePair(read.commissioning->port);
        commissioning = std::move(read.commissioning);
    }

    const QString choice = commissioning ? QString::fromStdString(commissioning->port) : parser.value(portOption);
    if (choice != QLatin1String("auto") && choice != QLatin1String("simulated")
        && !choice.startsWith(QLatin1String("/dev/")) && !choice.startsWith(QLatin1String("gpio:"))) {
        std::fprintf(stderr, "frequency-converter: ERROR: bad port choice '%s': use auto, simulated, "
                             "a device such as /dev/parport0, or gpio:CHIP[:LINES]\n", qPrintable(choice));
        return 2;
    }
    std::optional<app::remote::Endpoint> modbusEndpoint;
    if (commissioning) {
        modbusEndpoint = commissioning->listen;
    } else if (parser.isSet(modbusOption)) {
        modbusEndpoint = app::remote::parseEndpoint(parser.value(modbusOption).toStdString());
        if (!modbusEndpoint) {
            std::fprintf(stderr, "frequency-converter: ERROR: bad --modbus address '%s': give an IPv4 address and "
                                 "a port, such as 127.0.0.1:1502\n", qPrintable(parser.value(modbusOption)));
            return 2;
        }
        if (!modbusEndpoint->loopback() && !parser.isSet(insecureOption)) {
            std::fprintf(stderr, "frequency-converter: ERROR: --modbus=%s refused: Modbus TCP has no "
                                 "authentication, so any host on that network could start the motor; listen on "
                                 "127.0.0.1, use --modbus-tls, or add --modbus-insecure\n",
                         modbusEndpoint->text().c_str());
            return 2;
        }
    }
    if (parser.isSet(keepAliveOption) && parser.value(keepAliveOption).isEmpty()) {
        std::fprintf(stderr, "frequency-converter: ERROR: --keep-alive names no pin: give pin 1, 16 or 17 of a "
                             "parallel or the simulated port, or a line of the GPIO chip\n");
        return 2;
    }
    bool secureRefused = false;
    const std::optional<app::remote::SecureListen> secureEndpoint =
        commissioning ? commissioning->secure : secureListen(parser, secureOptions, secureRefused);
    if (secureRefused)
        return 2;
    // Holds the port lock: it must live until the program ends.
    port::backend::OpenedPort opened =
        commissioning ? app::service::openCommissionedPort(commissioning->port, commissioning->keepAlive)
                      : port::backend::openPort(choice.toStdString(), parser.value(keepAliveOption).toStdString());
    if (!opened.refusal.empty()) {
        app::platform::TerminationSignals::unblockInThisThread();  // nothing to leave idle
        std::fprintf(stderr, "frequency-converter: ERROR: %s\n", opened.refusal.c_str());
        // Offscreen and minimal are what tests use, and a headless program
        // has no window at all: there nobody sees the box, nobody presses OK.
        const QString platform = QGuiApplication::platformName();
        if (qobject_cast<QApplication*>(application.get()) && platform != QLatin1String("offscreen") &&
            platform != QLatin1String("minimal"))
            app::window::ModalMessageBox().show(QString::fromStdString(opened.refusal),
                                        QCoreApplication::translate("main", "Port Error"));
        return 2;
    }
    if (parser.isSet(writeLogOption)) {
        // Each record is a system call on the step thread: on a port that
        // drives a motor it would take from every step's timing.
        auto* simulated = dynamic_cast<port::backend::SimulatedPort*>(opened.port.get());
        const QByteArray path = QFile::encodeName(parser.value(writeLogOption));
        if (!simulated) {
            app::platform::TerminationSignals::unblockInThisThread();  // nothing to leave idle
            std::fprintf(stderr, "frequency-converter: ERROR: --write-log '%s' refused: it logs the simulated "
                                 "port only, and %s is in use; add --port=simulated\n",
                         path.constData(), opened.port->name().c_str());
            return 2;
        }
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) {
            const int error = errno;
            app::platform::TerminationSignals::unblockInThisThread();  // nothing to leave idle
            std::fprintf(stderr, "frequency-converter: ERROR: opening the write log '%s' failed: %s\n",
                         path.constData(), std::strerror(error));
            return 2;
        }
        simulated->logWritesTo(fd);
    }
    std::fprintf(stderr, "frequency-converter: %s\n", opened.description.c_str());

    // The record sits above the back end, so it holds what reached the port in use.
    port::record::RecordedPort recorded(*opened.port, port::record::RecordedPort::programCapacity);
    // A crash from here on leaves the port idle, as far as a signal handler can.
    try {
        port::backend::CrashGuard::install(recorded);
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "frequency-converter: ERROR: crash guard not installed (%s); a crash "
                             "would leave the last step on the port\n", error.what());
    }
    port::backend::Module1 module(recorded);
    // The console, with the window showing it, or alone with --headless:
    // then a message is said on stderr, where the journal keeps it.
    app::window::ModalMessageBox windowBox;
    StderrMessageBox stderrBox;
    // With remote control served, a remote request's message is its refusal,
    // not a box nobody at the PC may be there to close.
    app::remote::RequestMessageBox requestMessageBox(headless ? static_cast<app::console::MessageBox&>(stderrBox)
                                                              : windowBox);
    app::window::QtFileDialog fileDialog;
    std::optional<app::console::OperatorConsole> consoleAlone;
    std::optional<app::window::Form1> form;
    if (headless) {
        consoleAlone.emplace(requestMessageBox, module, recorded.record(), realtimeSetup(realtimeKit));
    } else {
        form.emplace(requestMessageBox, fileDialog, module, recorded.record(),
                     QString::fromStdString(opened.description), realtimeSetup(realtimeKit));
        windowBox.setParent(&*form);
        fileDialog.setParent(&*form);
        if (recorded.keepAlive())
            form->setKeepAliveRecord(recorded.keepAliveRecord());
    }
    app::console::OperatorConsole& console = form ? form->console() : *consoleAlone;
    app::console::RunAdapter& runAdapter = console.runs();
    // Ended in reverse: the server's thread first, then what it reaches.
    std::optional<app::remote::RemoteConsole> remoteConsole;
    std::optional<app::remote::RegisterMap> registerMap;
    std::optional<app::remote::ModbusServer> modbusServer;
    if (modbusEndpoint || secureEndpoint) {
        remoteConsole.emplace(console, requestMessageBox);
        registerMap.emplace(*remoteConsole,
                            app::remote::Identity{"Frequency Converter developers", "frequency-converter", FC_VERSION},
                            commissioning ? app::service::lockedRegisters(commissioning->motor)
                                          : std::vector<std::uint16_t>{});
        try {
            modbusServer.emplace(*registerMap, *remoteConsole, modbusEndpoint, secureEndpoint);
        } catch (const app::remote::ServerError& error) {
            std::fprintf(stderr, "frequency-converter: ERROR: %s\n", error.what());
            return 2;  // no run was started: nothing to leave idle
        }
        const char* const offUntilTurnedOn = !commissioning                 ? "remote control is off until the operator turns it on"
                                             : commissioning->remoteControl ? "remote control on (commissioned)"
                                                                            : "remote control off (commissioned)";
        QStringList where;
        if (modbusEndpoint) {
            where << QString::fromStdString(modbusServer->endpoint().text());
            std::fprintf(stderr, "frequency-converter: Modbus TCP server on %s; %s\n", qPrintable(where.back()),
                         offUntilTurnedOn);
            if (!modbusEndpoint->loopback())
                std::fprintf(stderr, "frequency-converter: WARNING: Modbus TCP on %s has no authentication: any "
                                     "host on that network can start the motor\n", qPrintable(where.back()));
        }
        if (const auto& secure = modbusServer->secureEndpoint()) {
            where << QString::fromStdString(secure->text()) + QStringLiteral(" TLS");
            std::fprintf(stderr, "frequency-converter: Modbus/TCP Security server on %s; %s\n",
                         secure->text().c_str(), offUntilTurnedOn);
        }
        if (form) {
            auto* remoteSwitch = new app::remote::RemoteSwitch(*remoteConsole);
            remoteSwitch->setWhere(where.join(QStringLiteral(", ")));
            form->addStripRow(remoteSwitch, app::remote::RemoteSwitch::rowHeight);
        }
    }
    // The commissioning file in place of the operator, and systemd told once
    // the port is idle and the server listens.
    std::unique_ptr<app::service::ServiceLink> serviceLink;
    if (commissioning) {
        app::service::putIntoEffect(*commissioning, console, *remoteConsole, *registerMap, requestMessageBox);
        serviceLink = std::make_unique<app::service::ServiceLink>(runAdapter, recorded.record(), *remoteConsole,
                                                                  *modbusServer);
        QTimer::singleShot(0, serviceLink.get(), &app::service::ServiceLink::start);
    }
    // A termination signal takes the way out EXIT takes: the window closes,
    // or, with no window, the console shuts down; either ends a run with the
    // idle pair. When the event loop does not answer, the signal thread ends
    // the run through run control itself.
    const auto wayOut = [&form, &console] {
        if (form) {
            form->close();
            return;
        }
        console.shutDown();
        QCoreApplication::quit();
    };
    app::platform::TerminationSignals terminationSignals(wayOut, runAdapter.control());
    // Served over TLS, SIGHUP reads the certificates and the roles table
    // again, as a daemon's SIGHUP does; otherwise it takes the way out.
    if (modbusServer && modbusServer->secureEndpoint())
        terminationSignals.reloadOnHangUp([&modbusServer] { modbusServer->reload(); });
    // Last before the event loop, so that it runs first at exit: Qt's X11
    // plugin calls exit(1) when the display goes away during a run.
    if (!port::run::ExitGuard::install())
        std::fprintf(stderr, "frequency-converter: ERROR: no exit hook (atexit refused it); an exit during a run "
                             "would leave the last step on the port\n");
    if (form)
        form->show();
    return application->exec();
}
