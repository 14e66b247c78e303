#include "platform/udisks/udisks2snapshot.h"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDebug>
#include <QMutexLocker>

#include "platform/udisks/udisks2names.h"

namespace UDisks2Detail {

namespace {

QMutex g_currentMutex;
SnapshotPtr g_current;

QString textOf(const QVariant& value) {
    if (value.userType() == qMetaTypeId<QDBusObjectPath>()) {
        return value.value<QDBusObjectPath>().path();
    }
    return value.userType() == QMetaType::QString ? value.toString() : QString();
}

// An "ay" value arrives as a QByteArray; anything else reads as empty.
QByteArray bytesOf(const QVariant& value) {
    return value.userType() == QMetaType::QByteArray ? cutAtNul(value.toByteArray()) : QByteArray();
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
        list << cutAtNul(bytes);
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

}  // namespace

QByteArray cutAtNul(const QByteArray& bytes) {
    const int nul = bytes.indexOf('\0');
    return nul < 0 ? bytes : bytes.left(nul);
}

void applyInterface(OBlockProperties& props, const QString& interface, const QVariantMap& values) {
    if (interface == QLatin1String(UDisks2::kBlockInterface)) {
        props.device = bytesOf(values.value(UDisks2::kDevice));
        props.idUUID = textOf(values.value(UDisks2::kIdUUID));
        props.idType = textOf(values.value(UDisks2::kIdType));
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
        QMap<QString, QVariantMap> interfaces;
        objects.beginMapEntry();
        objects >> path >> interfaces;
        objects.endMapEntry();
        if (!interfaces.contains(UDisks2::kBlockInterface)) {
            continue;  // drives, jobs, the manager itself
        }
        OBlockProperties props;
        for (auto it = interfaces.cbegin(); it != interfaces.cend(); ++it) {
            applyInterface(props, it.key(), it.value());
        }
        devices.insert(path.path(), props);
    }
    objects.endMap();
    return devices;
}

Snapshot::Snapshot(QHash<QString, OBlockProperties> devices) : m_devices(std::move(devices)) {}

bool Snapshot::find(const QString& path, OBlockProperties& props) const {
    QMutexLocker lock(&m_mutex);
    const auto it = m_devices.constFind(path);
    if (it == m_devices.cend()) {
        return false;
    }
    props = it.value();
    return true;
}

void Snapshot::update(const QString& path, const OBlockProperties& props) {
    QMutexLocker lock(&m_mutex);
    m_devices.insert(path, props);
}

SnapshotPtr currentSnapshot() {
    QMutexLocker lock(&g_currentMutex);
    return g_current;
}

void publishSnapshot(const SnapshotPtr& snapshot) {
    QMutexLocker lock(&g_currentMutex);
    g_current = snapshot;
}

QDBusConnection bus() {
    return QDBusConnection::systemBus();
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
    reply = bus().call(request, QDBus::Block, timeoutMs);
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

}  // namespace UDisks2Detail
