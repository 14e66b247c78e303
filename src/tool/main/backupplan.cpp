#include "tool/main/backupplan.h"

#include "tool/main/locationchecks.h"
#include "tool/main/taskfile.h"

int planBackup(const Request& request, const MachineValues& machine) {
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
    if (request.dryRun) {
        reportReplacedBackup(machine.recoveryMountPoint, machine.disks, entry);
        return NoError;
    }
    return updateSavePathIndex(machine.recoveryMountPoint, machine.disks, entry);
}
