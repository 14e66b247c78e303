#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include "platform/mounts/mounttable.h"  // isUnderMountPoint, for the queries' callers

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
    // mounts is the kernel's mount table, which says which device a mount point shows and
    // which of its directories ("/" where the whole file system is, the source directory of
    // a bind mount or a subvolume).
    explicit Disks(QList<ListedDevice> devices, QList<MountEntry> mounts = {});

    // One GetBlockDevices and one GetManagedObjects, and the kernel's mount table.
    static Disks list();

    const QList<ListedDevice>& devices() const;
    const QList<MountEntry>& mounts() const;
    const ListedDevice* byUuid(const QString& uuid) const;
    // The device that has mountPoint among its mount points: where mounts are stacked there,
    // the one the kernel shows; else the first.
    const ListedDevice* mountedAt(const QString& mountPoint) const;
    QString uuidMountedAt(const QString& mountPoint) const;
    QString driveOf(const QString& uuid) const;

    // Where the device's own root is mounted: the first of its mount points whose root is
    // "/", else the first (the service sorts them by path, so a bind of one of its
    // directories may come first) that does not show another device stacked on it; empty
    // when it is not mounted.
    QString mountPointOf(const ListedDevice& device) const;
    QString mountPointOf(const QString& uuid) const;
    // Only the first of these: empty when the device's root is mounted nowhere in sight.
    QString rootMountPointOf(const ListedDevice& device) const;

    // The listed device a mount of the table comes from (its source names the device node,
    // directly or through a link such as /dev/mapper/NAME, else its device number is the
    // node's); null for a file system no listed device holds (tmpfs, a network share, FUSE).
    const ListedDevice* backing(const MountEntry& mount) const;

    // The mount point of the device carrying uuid, mounting it through the service when it
    // is not mounted (or finding where it was mounted since the listing). Empty when no
    // device carries uuid or the mount fails.
    QString mountIfNeeded(const QString& uuid);
    // Asks the service to mount the device carrying uuid: its answer, a mount path or an error
    // text (never a usable path); empty when no device carries uuid. Either way the device
    // then holds the mount points the service reports now.
    QString mount(const QString& uuid);
    // Unmounts the device carrying uuid, whoever mounted it.
    void unmount(const QString& uuid);

private:
    ListedDevice* find(const QString& uuid);
    void update(ListedDevice& device, const class OBlockDevice& read);

    const MountEntry* visibleAt(const QString& mountPoint) const;

    QList<ListedDevice> m_devices;
    QList<MountEntry> m_mounts;
};
