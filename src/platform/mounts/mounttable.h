#pragma once

// Platform layer: the kernel's mount table, an interface of the operating system. Nothing here
// knows of the library's queries or of the tool; they build on it.

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>

// One line of the kernel's mount table (/proc/self/mountinfo).
struct MountEntry {
    QByteArray source;  // the mounted device (or other source) as the kernel names it
    QString mountPoint;
    QString root;  // the directory of the file system that appears at the mount point
    QString fsType;
    quint64 device = 0;  // the file system's device number, as stat() gives it in st_dev
    int id = -1;         // the kernel's mount ID, as statx() gives it in stx_mnt_id
    int parentId = -1;   // the mount it is mounted on
};

// A mounted file system a user would call a volume, with its size.
struct MountedVolume {
    MountEntry mount;
    qint64 bytesTotal = 0;
    qint64 bytesFree = 0;
};

// True when path is mountPoint or lies below it, at a whole path component.
bool isUnderMountPoint(const QString& path, const QString& mountPoint);

// The mount that holds path now, as a walk down the path meets mounts: a mount over a parent
// directory hides whatever was mounted below it before, and of mounts stacked at one place
// the one on top shows. The table lists hidden mounts too; they hold nothing here. Null when
// no mount holds path.
const MountEntry* mountHolding(const QList<MountEntry>& table, const QString& path);

// The mount that shows at mountPoint itself; null where a mount over a parent directory hides
// it, or nothing is mounted there.
const MountEntry* mountShownAt(const QList<MountEntry>& table, const QString& mountPoint);

// The kernel's ID of the mount that holds the open file fd (as mountinfo lists it); -1 where
// the kernel does not tell.
int mountIdOf(int fd);

// The root directory of the file system with the given device number, opened through the
// mount at mountPoint: a descriptor, and in table the mount table read after the open. -1,
// with refusal set, unless the mount the descriptor holds (by its kernel mount ID) is the
// one mountPoint reaches now, shows its file system's root and carries that device number:
// something mounted on or above mountPoint, a bind of a directory or another device there
// are refused.
int openRootThrough(const QString& mountPoint, quint64 device, QList<MountEntry>& table,
                    QString& refusal);

// The entries of a mountinfo text in table order; lines that do not parse are skipped.
QList<MountEntry> parseMountTable(const QByteArray& mountinfo);

// The mount table of this process; empty, with a warning, when it cannot be read.
QList<MountEntry> readMountTable();

// The mounted volumes that wanted accepts, in table order, chosen as
// QStorageInfo::mountedVolumes() chooses them (nothing under /dev, /proc, /sys, /var/run or
// /var/lock, no "rootfs", no file system of size 0 but "/"), from one reading of the table.
// The size is asked of the file system itself (statvfs), and only of the mounts wanted: a
// hung network or FUSE file system blocks every question put to it, so no other is asked.
QList<MountedVolume> mountedVolumes(const std::function<bool(const MountEntry&)>& wanted);
