#include "tool/main/restoreplan.h"

#include <QDebug>
#include <QDir>

#include "tool/main/locationchecks.h"
#include "tool/main/taskfile.h"
#include "tool/main/timelimits.h"
#include "utils/utils/systemqueries.h"

namespace {

// An image the tool could not finish checking in time is not called damaged: the run ends
// with the time limit's own message.
int refuseImage(const QString& message) {
    if (withinTimeLimits(NoError) != NoError) {
        return OtherError;
    }
    qWarning() << message;
    return MD5Error;
}

// Every image of a backup directory must pass the image tool's check, in name order. The
// images checked are the ones the directory test found: the name filter ignores case, so
// "SYSTEM.OSI" is one of them and may not go to the restore unchecked.
int checkBackupImages(const QString& directory) {
    const QDir dir(directory);
    const QStringList images = dir.entryList({"*.osi"}, QDir::AllEntries | QDir::NoDotAndDotDot,
                                             QDir::Name | QDir::IgnoreCase);
    if (images.isEmpty()) {
        qWarning() << QObject::tr("Invalid path");
        return PathError;
    }
    for (const QString& name : images) {
        if (!Utils::isValidOsiImage(QString("%1/%2").arg(directory, name))) {
            return refuseImage(QObject::tr("The backup file is invalid."));
        }
    }
    return NoError;
}

int checkImages(const Request& request, const MachineValues& machine, Location& location) {
    if (request.action == SystemRestore) {
        // Where the partition is mounted now: the machine checks may just have mounted it
        // away from /recovery. The plan names the image relative to the partition anyway.
        if (!Utils::isValidOsiImage(machine.recoveryMountPoint + "/backup/system.osi")) {
            return refuseImage(QObject::tr("The initial backup file is invalid."));
        }
        return NoError;
    }
    int code = resolveLocation(request, machine, location);
    if (code != NoError) {
        return code;
    }
    code = checkRestoreLocation(location);
    return code != NoError ? code : checkBackupImages(location.directory);
}

}  // namespace

int planRestore(const Request& request, const MachineValues& machine, Plan& plan) {
    Location location;
    const int code = checkImages(request, machine, location);
    if (code != NoError) {
        return code;
    }
    // No restore task names the time stamp; the plan takes one all the same.
    const PlanValues values = makePlanValues(request, machine, location, takeTimeStamp().text);
    plan.document = buildTaskDocument(values);
    return NoError;
}
