#include "tool/main/backupplan.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

#include "platform/files/durablefile.h"
#include "tool/main/backupremoval.h"
#include "tool/main/locationchecks.h"

int planBackup(const Request& request, const MachineValues& machine, Plan& plan) {
    Location location;
    int code = resolveLocation(request, machine, location);
    if (code == NoError) {
        code = checkBackupLocation(request, machine, location);
    }
    if (code != NoError) {
        return code;
    }
    const TimeStamp stamp = takeTimeStamp();
    plan.document = buildTaskDocument(makePlanValues(request, machine, location, stamp.text));
    if (request.action != SystemBackup) {
        return NoError;
    }
    plan.indexed = true;
    plan.entry = SavePathEntry{location.locationUuid, location.relativePath + "/" + stamp.text,
                               stamp.secs, location.replaceTarget};
    plan.replaced = findReplacedBackup(machine.recoveryMountPoint, location.mountPoint, plan.entry);
    return NoError;
}

void reportReplacedBackup(const ReplacedBackup& replaced) {
    if (!replaced.key.isEmpty() &&
        mayRemoveBackupDirectory(replaced.mountPoint, replaced.directory)) {
        qInfo() << QObject::tr("Dry run: the replaced backup %1 would be deleted")
                       .arg(QDir::cleanPath(replaced.mountPoint + replaced.directory));
    }
}

void removeReplacedBackup(const QString& recoveryMountPoint, const ReplacedBackup& replaced) {
    if (replaced.key.isEmpty() || !removeBackupDirectory(replaced.mountPoint, replaced.directory)) {
        return;
    }
    // The entry goes only once the removal is on the disk: a cut in between leaves a recorded
    // directory that is gone, which the next replace handles, never a backup nobody records.
    const QString parent =
        QFileInfo(QDir::cleanPath(replaced.mountPoint + replaced.directory)).absolutePath();
    QString error;
    if (!syncDirectory(parent, error)) {
        qWarning() << "The removal of the replaced backup could not be synced, it stays recorded:"
                   << parent << ":" << error;
        return;
    }
    forgetReplacedBackup(recoveryMountPoint, replaced);
}
