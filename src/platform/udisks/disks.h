#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include "utils/core/mounts/mounttable.h"  // isUnderMountPoint, for the queries' callers

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
    // mountRoots maps a mount point to the directory of its file system mounted there: "/"
    // where the whole file system is, the source directory of a bind mount.
    explicit Disks(QList<ListedDevice> devices, QHash<QString, QString> mountRoots = {});

    // One GetBlockDevices and one GetManagedObjects, and the kernel's mount table.
    static Disks list();

    const QList<ListedDevice>& devices() const;
    const ListedDevice* byUuid(const QString& uuid) const;
    // The first device that has mountPoint among its mount points.
    const ListedDevice* mountedAt(const QString& mountPoint) const;
    QString uuidMountedAt(const QString& mountPoint) const;
    QString driveOf(const QString& uuid) const;

    // Where the device's own root is mounted: the first of its mount points whose root is
    // "/", else the first (the service sorts them by path, so a bind of one of its
    // directories may come first); empty when it is not mounted.
    QString mountPointOf(const ListedDevice& device) const;
    QString mountPointOf(const QString& uuid) const;

    // The device whose mount point holds path at a path-component boundary, the deepest such
    // mount point winning ("/data2" is not under "/data"; with "/data" and "/data/home" both
    // mounted, "/data/home/x" lies on the latter); mount points listed in skip are passed
    // over. Null when none.
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
    QHash<QString, QString> m_mountRoots;
};

// Mount point -> root directory, from the lines of a /proc/self/mountinfo text; where mounts
// are stacked, the last (the visible one) wins.
QHash<QString, QString> parseMountRoots(const QByteArray& mountinfo);
