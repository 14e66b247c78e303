#pragma once

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
};

// A mounted file system a user would call a volume, with its size.
struct MountedVolume {
    MountEntry mount;
    qint64 bytesTotal = 0;
    qint64 bytesFree = 0;
};

// True when path is mountPoint or lies below it, at a whole path component.
bool isUnderMountPoint(const QString& path, const QString& mountPoint);

// The mount that holds path: the deepest mount point holding it, and where mounts are stacked
// there, the last entry (the visible one). Null when none does.
const MountEntry* mountHolding(const QList<MountEntry>& table, const QString& path);

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
