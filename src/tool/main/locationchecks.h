#pragma once

#include <QString>
#include <QStringList>

#include "tool/main/machinechecks.h"
#include "tool/main/options.h"

// Where a backup directory lies, as the live system finds it again.
struct Location {
    QString locationUuid;
    QString relativePath;
    QString rootDrive;
    QString dataDrive;
};

// The free-space reserve on top of the estimated backup size: 1.5 GiB.
constexpr qint64 kSpaceReserve = 1610612736;

// The directory exists (else PathError), and which partition holds it: the location UUID
// and the path below that partition's mount root, as the live system finds it again.
int resolveLocation(const Request& request, const MachineValues& machine, Location& location);

// Whether a backup may go to the directory: its place, whether it can be written, its file
// system and its free space, in that order. The exit code of the first failing rule, or
// NoError.
int checkBackupLocation(const Request& request, const MachineValues& machine, Location& location);

// Mount point of the file system holding path as df names it; "PathError" or "Error".
QString checkMountPoint(const QString& path);
// The mount point column of df's first "/dev" line; "Error" when there is none.
QString parseDfMountPoint(const QString& dfOutput);

// The deepest mounted root holding the path at a path-component boundary (after the
// data-partition redirection of /home, /root, /var and /opt); empty when none.
QString findLocationRoot(const QString& path, const QString& dataMountPoint,
                         const QStringList& mountRoots, QString& redirected);

// A system backup may lie neither on the system partitions themselves nor in /opt or /var
// (on the system or their twins on the data partition), which it copies: the prefixes are
// plain text, so /optical is refused too.
bool isForbiddenSystemBackupPath(const QString& path, const QString& mountPoint,
                                 const QString& dataMountPoint);
