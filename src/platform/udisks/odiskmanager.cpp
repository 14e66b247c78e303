#include "platform/udisks/odiskmanager.h"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDebug>

#include "platform/udisks/oblockdevice.h"
#include "platform/udisks/udisks2names.h"

namespace {

using namespace UDisks2Detail;

QStringList pathsOf(const QDBusMessage& reply) {
    QStringList paths;
    const QDBusArgument arg = reply.arguments().at(0).value<QDBusArgument>();
    arg.beginArray();
    while (!arg.atEnd()) {
        QDBusObjectPath path;
        arg >> path;
        paths << path.path();
    }
    arg.endArray();
    return paths;
}

// One GetBlockDevices: the object paths in the manager's order; empty when it fails.
QStringList readPaths(const QVariantMap& options, CallDeadline& deadline) {
    QDBusMessage request =
        QDBusMessage::createMethodCall(UDisks2::kService, UDisks2::kManagerPath,
                                       UDisks2::kManagerInterface, UDisks2::kGetBlockDevices);
    request << options;
    QDBusMessage reply;
    QString error;
    if (!call(request, "ao", deadline, reply, error)) {
        return {};
    }
    return pathsOf(reply);
}

// One GetManagedObjects for the whole listing; empty when it fails.
QHash<QString, OBlockProperties> readAllDevices(CallDeadline& deadline) {
    const QDBusMessage request = QDBusMessage::createMethodCall(
        UDisks2::kService, UDisks2::kRootPath, UDisks2::kObjectManagerInterface,
        UDisks2::kGetManagedObjects);
    QDBusMessage reply;
    QString error;
    if (!call(request, "a{oa{sa{sv}}}", deadline, reply, error)) {
        return {};
    }
    const QDBusArgument objects = reply.arguments().at(0).value<QDBusArgument>();
    return parseManagedObjects(objects);
}

}  // namespace

ODiskManager::ODiskManager(QObject* parent) : QObject(parent) {}

QStringList ODiskManager::blockDevices(const QVariantMap& options) {
    CallDeadline deadline(UDisks2::kDefaultTimeoutMs);
    return readPaths(options, deadline);
}

QList<OListedDevice> ODiskManager::listBlockDevices() {
    CallDeadline deadline(UDisks2::kDefaultTimeoutMs);
    // The order is the manager's; the bulk reading only supplies the values.
    const QStringList paths = readPaths({}, deadline);
    const QHash<QString, OBlockProperties> known =
        paths.isEmpty() ? QHash<QString, OBlockProperties>() : readAllDevices(deadline);
    QList<OListedDevice> devices;
    for (const QString& path : paths) {
        OListedDevice device{path, known.value(path)};
        if (!known.contains(path)) {
            // Asks nothing once the deadline has ended.
            readProperties(path, device.properties, deadline);
        }
        devices << device;
    }
    // Part of a listing would name the first device of some kind that is not the first.
    if (deadline.ended()) {
        qWarning() << "udisks2: no block device is listed: the disk service stopped answering";
        return {};
    }
    return devices;
}

OBlockDevice* ODiskManager::createBlockDevice(const QString& path, QObject* parent) {
    return path.isEmpty() ? nullptr : new OBlockDevice(path, parent);
}
