#include "platform/udisks/udisks2detail.h"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDebug>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <algorithm>
#include <atomic>
#include <climits>

#include "platform/text/nultext.h"
#include "platform/udisks/udisks2names.h"

// How long each call took, for measuring the time-outs: off unless
// QT_LOGGING_RULES="orvik.udisks.debug=true".
Q_LOGGING_CATEGORY(lcCalls, "orvik.udisks", QtInfoMsg)

namespace UDisks2Detail {

namespace {

std::atomic<int> g_capMs{0};

int cappedMs(int timeoutMs) {
    const int cap = g_capMs;
    return cap > 0 ? std::min(timeoutMs, cap) : timeoutMs;
}

QString textOf(const QVariant& value) {
    if (value.userType() == qMetaTypeId<QDBusObjectPath>()) {
        return value.value<QDBusObjectPath>().path();
    }
    return value.userType() == QMetaType::QString ? value.toString() : QString();
}

// An "ay" value arrives as a QByteArray; anything else reads as empty.
QByteArray bytesOf(const QVariant& value) {
    return value.userType() == QMetaType::QByteArray ? bytesUpToNul(value.toByteArray())
                                                     : QByteArray();
}

// An "aay" value arrives as an unread QDBusArgument; its signature is checked before
// reading so that a service sending another type cannot derail the demarshaller.
QByteArrayList byteListOf(const QVariant& value) {
    QByteArrayList list;
    if (value.userType() != qMetaTypeId<QDBusArgument>()) {
        return list;
    }
    const QDBusArgument arg = value.value<QDBusArgument>();
    if (arg.currentSignature() != QLatin1String("aay")) {
        return list;
    }
    arg.beginArray();
    while (!arg.atEnd()) {
        QByteArray bytes;
        arg >> bytes;
        list << bytesUpToNul(bytes);
    }
    arg.endArray();
    return list;
}

QString driveOf(const QVariant& value) {
    const QString drive = textOf(value);
    return drive == QLatin1String(UDisks2::kNoObject) ? QString() : drive;
}

// The D-Bus object-path grammar: "/" or "/" followed by "/"-separated non-empty
// elements of [A-Za-z0-9_].
bool isObjectPath(const QString& path) {
    if (path == QLatin1String("/")) {
        return true;
    }
    if (!path.startsWith('/') || path.endsWith('/') || path.contains(QLatin1String("//"))) {
        return false;
    }
    for (const QChar c : path) {
        const ushort u = c.unicode();
        const bool ok = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
                        (u >= '0' && u <= '9') || u == '_' || u == '/';
        if (!ok) {
            return false;
        }
    }
    return true;
}

// The properties the layer reads, by interface; a listing of a large machine carries many
// more (symlinks, configuration, partition tables), which are passed over unread.
const QStringList& wantedKeys(const QString& interface) {
    static const QStringList block = {UDisks2::kDevice, UDisks2::kIdUUID, UDisks2::kIdType,
                                      UDisks2::kIdLabel, UDisks2::kDrive};
    static const QStringList filesystem = {UDisks2::kMountPoints};
    return interface == QLatin1String(UDisks2::kBlockInterface) ? block : filesystem;
}

// The wanted values of one a{sv} property map. Reading stops once all of them are in: ending
// an entry or the map steps over whatever is left in it unread.
QVariantMap readWanted(const QDBusArgument& arg, const QString& interface) {
    const QStringList& wanted = wantedKeys(interface);
    QVariantMap values;
    arg.beginMap();
    while (!arg.atEnd() && values.size() < wanted.size()) {
        QString key;
        arg.beginMapEntry();
        arg >> key;
        if (wanted.contains(key)) {
            QDBusVariant value;
            arg >> value;
            values.insert(key, value.variant());
        }
        arg.endMapEntry();
    }
    arg.endMap();
    return values;
}

// The interfaces of one object (a{sa{sv}}); true when it is a block device.
bool readInterfaces(const QDBusArgument& arg, OBlockProperties& props) {
    bool isBlock = false;
    arg.beginMap();
    while (!arg.atEnd()) {
        QString interface;
        arg.beginMapEntry();
        arg >> interface;
        if (interface == QLatin1String(UDisks2::kBlockInterface) ||
            interface == QLatin1String(UDisks2::kFilesystemInterface)) {
            isBlock = isBlock || interface == QLatin1String(UDisks2::kBlockInterface);
            applyInterface(props, interface, readWanted(arg, interface));
        }  // other interfaces stay unread
        arg.endMapEntry();
    }
    arg.endMap();
    return isBlock;
}

// Answers that only mean "this object has no file system".
const QStringList kNoFilesystem = {UDisks2::kErrorInvalidArgs, UDisks2::kErrorUnknownInterface,
                                   QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod")};

bool readInterface(const QString& path, const char* interface, OBlockProperties& props,
                   CallDeadline& deadline, const QStringList& quietErrors = {}) {
    QDBusMessage reply;
    QString error;
    if (!call(getAllRequest(path, interface), "a{sv}", deadline, reply, error, quietErrors)) {
        return false;
    }
    const QVariantMap values = qdbus_cast<QVariantMap>(reply.arguments().at(0));
    applyInterface(props, QString::fromLatin1(interface), values);
    return true;
}

}  // namespace

void applyInterface(OBlockProperties& props, const QString& interface, const QVariantMap& values) {
    if (interface == QLatin1String(UDisks2::kBlockInterface)) {
        props.device = bytesOf(values.value(UDisks2::kDevice));
        props.idUUID = textOf(values.value(UDisks2::kIdUUID));
        props.idType = textOf(values.value(UDisks2::kIdType));
        props.idLabel = textOf(values.value(UDisks2::kIdLabel));
        props.drive = driveOf(values.value(UDisks2::kDrive));
    } else if (interface == QLatin1String(UDisks2::kFilesystemInterface)) {
        props.hasFilesystem = true;
        props.mountPoints = byteListOf(values.value(UDisks2::kMountPoints));
    }
}

QHash<QString, OBlockProperties> parseManagedObjects(const QDBusArgument& objects) {
    QHash<QString, OBlockProperties> devices;
    if (objects.currentSignature() != QLatin1String("a{oa{sa{sv}}}")) {
        return devices;
    }
    objects.beginMap();
    while (!objects.atEnd()) {
        QDBusObjectPath path;
        objects.beginMapEntry();
        objects >> path;
        OBlockProperties props;
        if (readInterfaces(objects, props)) {
            devices.insert(path.path(), props);
        }  // else drives, jobs, the manager itself
        objects.endMapEntry();
    }
    objects.endMap();
    return devices;
}

QDBusConnection bus() {
    return QDBusConnection::systemBus();
}

CallDeadline::CallDeadline(int timeoutMs) : m_timer(cappedMs(timeoutMs), Qt::PreciseTimer) {}

int CallDeadline::remainingMs() const {
    return m_ended ? 0 : int(std::clamp<qint64>(m_timer.remainingTime(), 0, INT_MAX));
}

void capCallTimeouts(int seconds) {
    g_capMs = seconds > 0 ? std::min(seconds, INT_MAX / 1000) * 1000 : 0;
}

bool call(const QDBusMessage& request, const char* signature, CallDeadline& deadline,
          QDBusMessage& reply, QString& error, const QStringList& quietErrors) {
    const int timeoutMs = deadline.remainingMs();
    if (timeoutMs <= 0) {
        error = QStringLiteral("not asked: the disk service did not answer in time");
        if (!deadline.ended()) {  // else the call left unanswered was named
            qWarning() << "udisks2:" << request.interface() + '.' + request.member() << error;
            deadline.end();
        }
        return false;
    }
    const bool answered = call(request, signature, timeoutMs, reply, error, quietErrors);
    // No answer, whether the time ran out or the service went away: not asked again.
    if (reply.type() == QDBusMessage::ErrorMessage &&
        reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply")) {
        deadline.end();
    }
    return answered;
}

bool call(const QDBusMessage& request, const char* signature, int timeoutMs, QDBusMessage& reply,
          QString& error, const QStringList& quietErrors) {
    const QString what = request.interface() + '.' + request.member() + ' ' + request.path();
    if (!isObjectPath(request.path())) {
        // Checked here: QtDBus would add a warning of its own before refusing it.
        error = QStringLiteral("%1: not an object path").arg(UDisks2::kErrorInvalidArgs);
        qWarning() << "udisks2:" << what << "failed:" << error;
        return false;
    }
    timeoutMs = cappedMs(timeoutMs);
    QElapsedTimer waited;
    waited.start();
    reply = bus().call(request, QDBus::Block, timeoutMs);
    qCDebug(lcCalls).noquote() << what << "took" << waited.elapsed() << "ms";
    // The bus gives NoReply for a time-out and for a service gone away alike; the time tells
    // (its coarse timer may fire up to a twentieth early).
    if (reply.type() == QDBusMessage::ErrorMessage &&
        reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply") &&
        waited.elapsed() >= timeoutMs - timeoutMs / 10) {
        error = reply.errorName() +
                QStringLiteral(": timed out, no answer within %1 seconds").arg(timeoutMs / 1000.0);
        qWarning() << "udisks2:" << what << "timed out after" << timeoutMs / 1000.0 << "seconds";
        return false;
    }
    if (reply.type() == QDBusMessage::ReplyMessage) {
        if (reply.signature() == QLatin1String(signature)) {
            return true;
        }
        error = QStringLiteral("unexpected answer signature \"%1\"").arg(reply.signature());
        qWarning() << "udisks2:" << what << "failed:" << error;
        return false;
    }
    error =
        reply.errorName() + QStringLiteral(": ") +
        (reply.errorMessage().isEmpty() ? QStringLiteral("no error text") : reply.errorMessage());
    if (!quietErrors.contains(reply.errorName())) {
        qWarning() << "udisks2:" << what << "failed:" << error;
    }
    return false;
}

QDBusMessage getAllRequest(const QString& path, const char* interface) {
    QDBusMessage request = QDBusMessage::createMethodCall(
        UDisks2::kService, path, UDisks2::kPropertiesInterface, UDisks2::kGetAll);
    request << QString::fromLatin1(interface);
    return request;
}

bool readProperties(const QString& path, OBlockProperties& props) {
    CallDeadline deadline(UDisks2::kDefaultTimeoutMs);
    return readProperties(path, props, deadline);
}

bool readProperties(const QString& path, OBlockProperties& props, CallDeadline& deadline) {
    OBlockProperties fresh;
    if (!readInterface(path, UDisks2::kBlockInterface, fresh, deadline)) {
        return false;  // an object that fails the first is not asked again
    }
    readInterface(path, UDisks2::kFilesystemInterface, fresh, deadline, kNoFilesystem);
    if (deadline.ended()) {
        return false;  // no answer is not "no file system"
    }
    props = fresh;
    return true;
}

}  // namespace UDisks2Detail
