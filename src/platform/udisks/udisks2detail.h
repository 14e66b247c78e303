#pragma once

#include <QByteArrayList>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class QDBusArgument;

// What the disk layer knows of one block device object.
struct OBlockProperties {
    QByteArray device;  // without trailing NUL bytes
    QString idUUID;
    QString idType;
    QString idLabel;
    QString drive;  // empty when the device has no drive
    QByteArrayList mountPoints;
    bool hasFilesystem = false;
};

namespace UDisks2Detail {

// Fills the fields of one interface ("org.freedesktop.UDisks2.Block" or ".Filesystem") from
// its property map; other interfaces are ignored.
void applyInterface(OBlockProperties& props, const QString& interface, const QVariantMap& values);

// The block devices of a GetManagedObjects answer (a{oa{sa{sv}}}), by object path.
QHash<QString, OBlockProperties> parseManagedObjects(const QDBusArgument& objects);

// The bus the layer talks to: the system bus (DBUS_SYSTEM_BUS_ADDRESS may redirect it).
QDBusConnection bus();

// A blocking call to the service. On an error answer, or an answer whose signature is not
// `signature`, fills `error` with the D-Bus error name and text, logs it as one warning
// unless the error name is among `quietErrors`, and returns false.
bool call(const QDBusMessage& request, const char* signature, int timeoutMs, QDBusMessage& reply,
          QString& error, const QStringList& quietErrors = {});

// Properties.GetAll of one interface of an object.
QDBusMessage getAllRequest(const QString& path, const char* interface);

// Both interfaces of one object afresh; false (props untouched) when the object cannot be
// read. An object without a file system is no failure.
bool readProperties(const QString& path, OBlockProperties& props);

}  // namespace UDisks2Detail
