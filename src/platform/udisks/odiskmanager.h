#pragma once

#include <QList>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include "platform/udisks/udisks2detail.h"

class OBlockDevice;

// One block device of a listing: its object path and what the listing read of it.
struct OListedDevice {
    QString path;
    OBlockProperties properties;
};

// Entry to the udisks2 service on the system bus (DBUS_SYSTEM_BUS_ADDRESS may point
// elsewhere). When the service is absent or a call fails, the answer is empty and one
// warning carries the D-Bus error text.
class ODiskManager : public QObject {
    Q_OBJECT
public:
    explicit ODiskManager(QObject* parent = nullptr);

    // Object paths of all block devices, in the service's order (one GetBlockDevices).
    QStringList blockDevices(const QVariantMap& options);

    // All block devices with their properties, in the service's order: one GetBlockDevices
    // and one GetManagedObjects. Only a device the bulk reading lacks (or all of them, when
    // it fails) is read on its own. The calls share one time limit; once the service leaves
    // one unanswered none follows, and the listing is empty.
    QList<OListedDevice> listBlockDevices();

    // A new device object owned by the caller, reading its own properties; null when the
    // path is empty.
    static OBlockDevice* createBlockDevice(const QString& path, QObject* parent = nullptr);
};
