#include "platform/udisks/odiskmanager.h"

#include <QDBusArgument>
#include <QDBusObjectPath>

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

// One GetManagedObjects for the whole listing; empty when it fails.
QHash<QString, OBlockProperties> readAllDevices() {
    const QDBusMessage request = QDBusMessage::createMethodCall(
        UDisks2::kService, UDisks2::kRootPath, UDisks2::kObjectManagerInterface,
        UDisks2::kGetManagedObjects);
    QDBusMessage reply;
    QString error;
    if (!call(request, "a{oa{sa{sv}}}", UDisks2::kDefaultTimeoutMs, reply, error)) {
        return {};
    }
    const QDBusArgument objects = reply.arguments().at(0).value<QDBusArgument>();
    return parseManagedObjects(objects);
}

}  // namespace

ODiskManager::ODiskManager(QObject* parent) : QObject(parent) {}

QStringList ODiskManager::blockDevices(const QVariantMap& options) {
    QDBusMessage request =
        QDBusMessage::createMethodCall(UDisks2::kService, UDisks2::kManagerPath,
                                       UDisks2::kManagerInterface, UDisks2::kGetBlockDevices);
    request << options;
    QDBusMessage reply;
    QString error;
    if (!call(request, "ao", UDisks2::kDefaultTimeoutMs, reply, error)) {
        return {};
    }
    return pathsOf(reply);
}

QList<OListedDevice> ODiskManager::listBlockDevices() {
    // The order is the manager's; the bulk reading only supplies the values.
    const QStringList paths = blockDevices({});
    if (paths.isEmpty()) {
        return {};
    }
    const QHash<QString, OBlockProperties> known = readAllDevices();
    QList<OListedDevice> devices;
    for (const QString& path : paths) {
        OListedDevice device{path, known.value(path)};
        if (!known.contains(path)) {
            readProperties(path, device.properties);
        }
        devices << device;
    }
    return devices;
}

OBlockDevice* ODiskManager::createBlockDevice(const QString& path, QObject* parent) {
    return path.isEmpty() ? nullptr : new OBlockDevice(path, parent);
}
