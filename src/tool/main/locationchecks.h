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

// Step 1 and 2: the directory exists, and which partition holds it. PathError or NoError.
int resolveLocation(const Request& request, const MachineValues& machine, Location& location);

// Steps 3 to 8 for the two backups; the exit code of the first failing rule, or NoError.
int checkBackupLocation(const Request& request, const MachineValues& machine, Location& location);

// Mount point of the file system holding path as df names it; "PathError" or "Error".
QString checkMountPoint(const QString& path);
// The mount point column of df's first "/dev" line; "Error" when there is none.
QString parseDfMountPoint(const QString& dfOutput);

// Longest mounted root that prefixes the path (after the data-partition redirection of
// /home, /root, /var and /opt); empty when none.
QString findLocationRoot(const QString& path, const QString& dataMountPoint, QStringList mountRoots,
                         QString& redirected);

// Rule of step 5: a system backup may not lie on the system itself.
bool isForbiddenSystemBackupPath(const QString& path, const QString& mountPoint,
                                 const QString& dataMountPoint);
