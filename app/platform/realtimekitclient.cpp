// Each call is one QDBusMessage sent with QDBus::Block: no QDBusInterface or
// other QObject, which would need an event loop in the calling thread.
#include "app/platform/realtimekitclient.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QVariant>

#include <algorithm>
#include <climits>

namespace app::platform {

namespace {

const QString service = QStringLiteral("org.freedesktop.RealtimeKit1");
const QString path = QStringLiteral("/org/freedesktop/RealtimeKit1");
const QString interface = QStringLiteral("org.freedesktop.RealtimeKit1");

std::string errorText(const QDBusMessage& reply)
{
    return (reply.errorName() + QStringLiteral(": ") + reply.errorMessage()).toStdString();
}

// The service is gone, never started or hung, as opposed to answering "no".
bool unreachable(const QDBusMessage& reply)
{
    switch (QDBusError(reply).type()) {
    case QDBusError::ServiceUnknown:
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
    case QDBusError::NoServer:
    case QDBusError::Disconnected:
        return true;
    default:
        return false;
    }
}

bool connected(QDBusConnection& bus, std::string& why)
{
    if (bus.isConnected())
        return true;
    why = "not reachable (system bus: " + bus.lastError().message().toStdString() + ")";
    return false;
}

// One property through org.freedesktop.DBus.Properties.Get, as a whole number.
bool readProperty(QDBusConnection& bus, const QString& name, qint64& value, std::string& why)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        service, path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << interface << name;
    const QDBusMessage reply = bus.call(call, QDBus::Block, RealtimeKitClient::timeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        why = (unreachable(reply) ? "not reachable (" : name.toStdString() + " not read (")
              + errorText(reply) + ")";
        return false;
    }
    const QVariant property = reply.arguments().value(0).value<QDBusVariant>().variant();
    bool ok = false;
    value = property.toLongLong(&ok);
    if (!ok) {
        why = name.toStdString() + " not a number ('" + property.toString().toStdString()
              + "', D-Bus type " + property.metaType().name() + ")";
        return false;
    }
    return true;
}

} // namespace

bool RealtimeKitClient::limits(Limits& limits, std::string& why)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!connected(bus, why))
        return false;
    qint64 maxPriority = 0;
    qint64 rtTime = 0;
    if (!readProperty(bus, QStringLiteral("MaxRealtimePriority"), maxPriority, why)
        || !readProperty(bus, QStringLiteral("RTTimeUSecMax"), rtTime, why))
        return false;
    // Kept in int's range only; the ladder takes the lower of it and what it wants.
    limits.maxRealtimePriority = int(std::clamp<qint64>(maxPriority, INT_MIN, INT_MAX));
    limits.rtTimeUSecMax = rtTime;
    return true;
}

bool RealtimeKitClient::makeThreadRealtime(std::uint64_t pid, std::uint64_t tid,
                                           std::uint32_t priority, std::string& why)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!connected(bus, why))
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface,
                                                       QStringLiteral("MakeThreadRealtimeWithPID"));
    call << QVariant::fromValue(qulonglong(pid)) << QVariant::fromValue(qulonglong(tid))
         << QVariant::fromValue(uint(priority));
    const QDBusMessage reply = bus.call(call, QDBus::Block, timeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return true;
    why = errorText(reply);
    // RealtimeKit asks polkit, whose rule for it, by default, allows only a
    // process in the active local session: not over SSH, nor a service.
    if (QDBusError(reply).type() == QDBusError::AccessDenied)
        why += "; polkit lets RealtimeKit grant it only inside a local login session";
    return false;
}

}  // namespace app::platform
