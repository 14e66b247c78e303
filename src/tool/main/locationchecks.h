#pragma once

#include <QString>
#include <QStringList>

#include "tool/main/machinechecks.h"
#include "tool/main/options.h"

// Where a backup directory lies: one answer, found once, that every check and the plan read.
struct Location {
    QString directory;  // the chosen directory, links followed
    MountEntry mount;   // the kernel's mount that holds it (after the data-partition redirect)
    // The file system holding it: its partition's type as the disk service names it, else
    // the kernel's ("tmpfs", "nfs4" ...) when no listed partition holds it.
    QString fsType;
    QString locationUuid;   // the partition holding it; empty when no listed partition does
    QString relativePath;   // its path within that partition's file system
    QString mountPoint;     // where the partition's own root is mounted; empty when nowhere
    QString replaceTarget;  // the former backup to replace, reached through mountPoint
    QString rootDrive;
    QString dataDrive;
};

// The free-space reserve on top of the estimated backup size: 1.5 GiB.
constexpr qint64 kSpaceReserve = 1610612736;

// The directory exists (else PathError); it is resolved once (links followed), and which
// partition holds it is found: the location UUID and the path within that partition, as the
// live system finds it again.
int resolveLocation(const Request& request, const MachineValues& machine, Location& location);

// Whether a restore may read the directory: a listed partition holds it, and the location
// names it (below). OtherError, with a message, when not.
int checkRestoreLocation(const Location& location);

// Whether a backup may go to the directory: its place, whether it can be written, whether
// the location names it (the partition's root followed by the relative path reaches the
// very directory; OtherError when not), its file system and its free space, in that order.
// The exit code of the first failing rule, or NoError.
int checkBackupLocation(const Request& request, const MachineValues& machine, Location& location);

// Mount point of the file system holding path as df names it; "PathError" or "Error".
QString checkMountPoint(const QString& path);
// The mount point column of df's first "/dev" line; "Error" when there is none.
QString parseDfMountPoint(const QString& dfOutput);

// Paths under /home, /root, /var and /opt are taken as on the data partition, where this
// system keeps them: the data mount point is put in front.
QString redirectedPath(const QString& path, const QString& dataMountPoint);

// The path within the mounted file system: the mount's root directory followed by what
// follows the mount point ("/" + "srv/bk" on the file system mounted at "/" stays
// "srv/bk", as the live system has always read it).
QString pathWithinMount(const MountEntry& mount, const QString& path);

// A system backup may lie neither on the system partitions themselves nor in /opt or /var
// (on the system or their twins on the data partition), which it copies: the prefixes are
// plain text, so /optical is refused too.
bool isForbiddenSystemBackupPath(const QString& path, const QString& mountPoint,
                                 const QString& dataMountPoint);
