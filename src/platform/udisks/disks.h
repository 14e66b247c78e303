#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// One block device as the run's listing of the disk service saw it.
struct ListedDevice {
    QString path;  // object path
    QString uuid;
    QString type;
    QString node;             // device node such as /dev/sda2
    QString drive;            // drive object path; empty when the device has none
    QStringList mountPoints;  // in the service's order
    QString label;
};

// What a run learnt of the disks: the block devices of one listing, in the service's order,
// with the queries over them. Every query takes the first device in that order; an empty
// UUID, path or drive matches nothing. A mount made through this value updates it, so later
// queries see the new mount point without another listing.
class Disks {
public:
    Disks() = default;
    explicit Disks(QList<ListedDevice> devices);

    // One GetBlockDevices and one GetManagedObjects.
    static Disks list();

    const QList<ListedDevice>& devices() const;
    const ListedDevice* byUuid(const QString& uuid) const;
    // The first device that has mountPoint among its mount points.
    const ListedDevice* mountedAt(const QString& mountPoint) const;
    QString uuidMountedAt(const QString& mountPoint) const;
    QString driveOf(const QString& uuid) const;

    // The device's first mount point; empty when it is not mounted.
    QString mountPointOf(const ListedDevice& device) const;
    QString mountPointOf(const QString& uuid) const;

    // The first device with a mount point, other than those in skip, that prefixes path.
    const ListedDevice* holding(const QString& path, const QStringList& skip = {}) const;

    // The mount point of the device carrying uuid, mounting it through the service when it
    // is not mounted. Empty when no device carries uuid or the mount fails.
    QString mountIfNeeded(const QString& uuid);
    // Asks the service to mount the device carrying uuid: its answer, a mount path or an error
    // text (never a usable path); empty when no device carries uuid.
    QString mount(const QString& uuid);
    void unmount(const QString& uuid);

private:
    ListedDevice* find(const QString& uuid);
    void update(ListedDevice& device, const class OBlockDevice& read);

    QList<ListedDevice> m_devices;
};
