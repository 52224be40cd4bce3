// A stand-in for RealtimeKit on the bus named by DBUS_SYSTEM_BUS_ADDRESS: it
// serves the limits and records each MakeThreadRealtimeWithPID on stdout
// instead of changing any thread. Arguments: [max priority] [--refuse].
#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QStringList>

#include <cstdio>

namespace {

const QString busName = QStringLiteral("rtkitstandin");

class RealtimeKitAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.RealtimeKit1")
    Q_PROPERTY(int MaxRealtimePriority READ maxRealtimePriority)
    Q_PROPERTY(qlonglong RTTimeUSecMax READ rtTimeUSecMax)

public:
    RealtimeKitAdaptor(QObject* parent, int maxPriority, bool refuse)
        : QDBusAbstractAdaptor(parent), maxPriority_(maxPriority), refuse_(refuse)
    {
    }

    int maxRealtimePriority() const { return maxPriority_; }
    qlonglong rtTimeUSecMax() const { return 200'000; }

public slots:
    void MakeThreadRealtimeWithPID(qulonglong pid, qulonglong tid, uint priority,
                                   const QDBusMessage& message)
    {
        std::printf("MakeThreadRealtimeWithPID %llu %llu %u\n", pid, tid, priority);
        std::fflush(stdout);
        if (!refuse_)
            return;
        message.setDelayedReply(true);
        QDBusConnection(busName).send(message.createErrorReply(
            QDBusError::AccessDenied, QStringLiteral("stand-in refuses every thread")));
    }

private:
    int maxPriority_;
    bool refuse_;
};

}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool refuse = args.removeAll(QStringLiteral("--refuse")) > 0;
    bool ok = true;
    const int maxPriority = args.isEmpty() ? 20 : args.first().toInt(&ok);
    if (!ok) {
        std::fprintf(stderr, "rtkitstandin: bad max priority '%s': give a whole number\n",
                     qPrintable(args.first()));
        return 2;
    }

    const QString address = qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS");
    QDBusConnection bus = QDBusConnection::connectToBus(address, busName);
    if (!bus.isConnected()) {
        std::fprintf(stderr, "rtkitstandin: bus '%s' not reached: %s\n", qPrintable(address),
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    QObject service;
    new RealtimeKitAdaptor(&service, maxPriority, refuse);
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/RealtimeKit1"), &service)
        || !bus.registerService(QStringLiteral("org.freedesktop.RealtimeKit1"))) {
        std::fprintf(stderr, "rtkitstandin: org.freedesktop.RealtimeKit1 not registered: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}

#include "rtkitstandin.moc"
