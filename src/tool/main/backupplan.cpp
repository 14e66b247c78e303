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
    code = writeTaskFile(machine.recoveryMountPoint, buildTaskDocument(values));
    if (code != NoError || request.action != SystemBackup) {
        return code;
    }
    updateSavePathIndex(machine.recoveryMountPoint, machine.disks,
                        {location.locationUuid, location.relativePath + "/" + stamp.text,
                         stamp.secs, request.replaceTarget});
    return NoError;
}
