#include "tool/main/backupplan.h"

#include <QDebug>
#include <QDir>

#include "tool/main/backupremoval.h"
#include "tool/main/locationchecks.h"

namespace {

// The dry run's word on the replaced backup: what removeReplacedBackup would do.
void reportReplacedBackup(const ReplacedBackup& replaced) {
    if (!replaced.key.isEmpty() &&
        mayRemoveBackupDirectory(replaced.mountPoint, replaced.device, replaced.directory)) {
        qInfo() << QObject::tr("Dry run: the replaced backup %1 would be deleted")
                       .arg(QDir::cleanPath(replaced.mountPoint + replaced.directory));
    }
}

}  // namespace

int planBackup(const Request& request, const MachineValues& machine, ReplacedBackup& replaced) {
    Location location;
    int code = resolveLocation(request, machine, location);
    if (code == NoError) {
        code = checkBackupLocation(request, machine, location);
    }
    if (code != NoError) {
        return code;
    }
    const TimeStamp stamp = takeTimeStamp();
    const PlanValues values = makePlanValues(request, machine, location, stamp.text);
    const QJsonObject document = buildTaskDocument(values);
    code = request.dryRun ? printTaskFile(machine.recoveryMountPoint, document)
                          : writeTaskFile(machine.recoveryMountPoint, document);
    if (code != NoError || request.action != SystemBackup) {
        return code;
    }
    const SavePathEntry entry{location.locationUuid, location.relativePath + "/" + stamp.text,
                              stamp.secs, location.replaceTarget};
    replaced = findReplacedBackup(machine.recoveryMountPoint, location.mountPoint, entry);
    replaced.device = location.mount.device;
    if (request.dryRun) {
        reportReplacedBackup(replaced);
        return NoError;
    }
    return updateSavePathIndex(machine.recoveryMountPoint, entry);
}

void removeReplacedBackup(const QString& recoveryMountPoint, const ReplacedBackup& replaced) {
    if (replaced.key.isEmpty() ||
        !removeBackupDirectory(replaced.mountPoint, replaced.device, replaced.directory)) {
        return;
    }
    forgetReplacedBackup(recoveryMountPoint, replaced);
}
