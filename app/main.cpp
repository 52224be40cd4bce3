// Starts the frequency converter's operator window on the parallel port, or on
// the simulated port where no parallel port can be used.
#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

#include "app/form1.h"
#include "app/modalmessagebox.h"
#include "port/module1.h"
#include "port/portselection.h"

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("frequency-converter"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QCoreApplication::translate("main", "Operator's console of a PC-driven frequency converter."));
    parser.addHelpOption();
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QCoreApplication::translate("main", "Port to drive: auto, simulated or /dev/parportN."),
        QStringLiteral("choice"), QStringLiteral("auto"));
    parser.addOption(portOption);
    parser.process(application);

    const QString choice = parser.value(portOption);
    if (choice != QLatin1String("auto") && choice != QLatin1String("simulated")
        && !choice.startsWith(QLatin1String("/dev/"))) {
        std::fprintf(stderr, "frequency-converter: ERROR: bad port choice '%s': use auto, simulated "
                             "or a device such as /dev/parport0\n", qPrintable(choice));
        return 2;
    }
    port::OpenedPort opened = port::openPort(choice.toStdString());
    std::fprintf(stderr, "frequency-converter: %s\n", opened.description.c_str());

    port::Module1 module(*opened.port);
    app::ModalMessageBox messageBox;
    app::Form1 form(messageBox, module, QString::fromStdString(opened.description));
    messageBox.setParent(&form);
    form.show();
    return application.exec();
}
