#pragma once

#include <QObject>
#include <QStringList>
#include <QVariantMap>

class OBlockDevice;

// Entry to the udisks2 service on the system bus (DBUS_SYSTEM_BUS_ADDRESS may point
// elsewhere). When the service is absent or a call fails, the answer is empty and one
// warning carries the D-Bus error text.
class ODiskManager : public QObject {
    Q_OBJECT
public:
    explicit ODiskManager(QObject* parent = nullptr);

    // Object paths of all block devices, in the service's order. Also takes one bulk
    // snapshot of the service's objects that device objects made afterwards read from.
    QStringList blockDevices(const QVariantMap& options);

    // A new device object owned by the caller; null when the path is empty.
    static OBlockDevice* createBlockDevice(const QString& path, QObject* parent = nullptr);
};
