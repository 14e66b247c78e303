#include "tool/main/backupplan.h"

#include "tool/main/locationchecks.h"
#include "tool/main/taskfile.h"

namespace {

PlanValues backupPlanValues(const Request& request, const MachineValues& machine,
                            const Location& location, const TimeStamp& stamp) {
    PlanValues values;
    values.action = request.action;
    values.format = request.format;
    values.reboot = request.reboot;
    values.locale = request.locale;
    values.recoveryUuid = machine.recoveryUuid;
    values.bootUuid = machine.bootUuid;
    values.dataUuid = machine.dataUuid;
    values.rootUuid = machine.rootUuid;
    values.locationUuid = location.locationUuid;
    values.relativePath = location.relativePath;
    values.timeStamp = stamp.text;
    // No data partition, no data image.
    values.dataOnOtherDrive =
        !location.dataDrive.isEmpty() && location.dataDrive != location.rootDrive;
    return values;
}

}  // namespace

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
    const PlanValues values = backupPlanValues(request, machine, location, stamp);
    code = writeTaskFile(machine.recoveryMountPoint, buildTaskDocument(values));
    if (code != NoError || request.action != SystemBackup) {
        return code;
    }
    updateSavePathIndex(machine.recoveryMountPoint, machine.blockDevices,
                        {location.locationUuid, location.relativePath + "/" + stamp.text,
                         stamp.secs, request.replaceTarget});
    return NoError;
}
