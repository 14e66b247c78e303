#include "tool/main/taskfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/files/durablefile.h"
#include "platform/mounts/mounttable.h"
#include "utils/utils/systemqueries.h"

namespace {

QString uuidArg(const QString& uuid) {
    return "UUID:" + uuid;
}

QJsonObject task(bool enable, const QString& message, const QString& command,
                 const QStringList& args) {
    return QJsonObject{{"enable", enable},
                       {"message", message},
                       {"command", command},
                       {"args", QJsonArray::fromStringList(args)}};
}

QJsonArray taskTemplates(const PlanValues& v) {
    const QString backupDir = v.relativePath + "/" + v.timeStamp;
    const QString location = uuidArg(v.locationUuid);
    const ActionType a = v.action;
    QJsonObject format{{"enable", v.format},
                       {"message", "formating data partition"},
                       {"command", "refresh-data-partition"},
                       {"progress", false}};
    return QJsonArray{
        task(a == SystemRestore && !v.bootUuid.isEmpty(), "starting restore boot partition",
             "restore-partitions",
             {uuidArg(v.recoveryUuid), "backup/boot.osi", uuidArg(v.bootUuid)}),
        task(a == SystemRestore, "starting restore root partition", "restore-partitions",
             {uuidArg(v.recoveryUuid), "backup/system.osi", uuidArg(v.rootUuid)}),
        task(a == SystemBackup, "starting backup root & boot partition", "create-backup-image",
             {uuidArg(v.bootUuid), location, backupDir, "boot.osi"}),
        task(a == SystemBackup, "starting backup '/opt' and '/var' of data partition",
             "create-backup-directory", {uuidArg(v.dataUuid), location, backupDir}),
        task(a == ManualBackup || a == SystemBackup, "starting backup root partition",
             "create-backup-image", {uuidArg(v.rootUuid), location, backupDir, "system.osi"}),
        task(a == ManualBackup && v.dataOnOtherDrive, "starting backup data partition",
             "create-backup-image", {uuidArg(v.dataUuid), location, backupDir, "data.osi"}),
        task(a == ManualRestore, "starting restore root partition", "restore-partitions",
             {location, v.relativePath}),
        format,
    };
}

QString typeName(ActionType action) {
    switch (action) {
        case SystemBackup:
            return "SystemBackup";
        case ManualBackup:
            return "ManualBackup";
        case SystemRestore:
            return "SystemRestore";
        case ManualRestore:
            return "ManualRestore";
        default:
            return QString();
    }
}

QByteArray jsonText(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

QString taskFilePath(const QString& recoveryMountPoint) {
    return QString("%1/backup/recovery.json").arg(recoveryMountPoint);
}

// Each file of a plan, durably; the warning names it and says why it could not be saved.
bool saveJson(const char* what, const QString& path, const QJsonObject& object) {
    QString error;
    if (!writeFileDurably(path, jsonText(object), error)) {
        qWarning() << what << path << ":" << error;
        return false;
    }
    return true;
}

const char kCannotSaveTaskFile[] = "Cannot save the task file";
}  // namespace

TimeStamp takeTimeStamp() {
    const QDateTime now = QDateTime::currentDateTime();
    return TimeStamp{now.toString("yyyy-MM-dd-hh-mm-ss"), now.toSecsSinceEpoch()};
}

PlanValues makePlanValues(const Request& request, const MachineValues& machine,
                          const Location& location, const QString& timeStamp) {
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
    values.timeStamp = timeStamp;
    values.dataOnOtherDrive =
        !location.dataDrive.isEmpty() && location.dataDrive != location.rootDrive;
    return values;
}

QJsonObject buildTaskDocument(const PlanValues& values) {
    QJsonArray tasks;
    for (const QJsonValue& value : taskTemplates(values)) {
        QJsonObject t = value.toObject();
        if (!t.value("enable").toBool()) {
            continue;
        }
        t.insert("name", QString("task-%1").arg(tasks.size() + 1));
        tasks.append(t);
    }
    return QJsonObject{{"name", "restore"},
                       {"message", "restore boot and root partition"},
                       {"total", tasks.size()},
                       {"ask", true},
                       {"locale", values.locale},
                       {"type", typeName(values.action)},
                       {"auto_reboot", values.reboot},
                       {"tasks", tasks}};
}

namespace {

// The device and the kernel's mount ID of the directory at path; false, with errno set, when
// it cannot be opened.
bool mountOfDirectory(const QString& path, dev_t& device, int& mountId) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        return false;
    }
    device = st.st_dev;
    mountId = mountIdOf(fd);
    ::close(fd);
    return true;
}

// The live system reads the backup directory of the recovery partition itself: a file system
// mounted there (a tmpfs, a bind of any directory, even of itself) would take the plan while
// the partition kept its earlier one, which the flag would then arm. Empty when the directory
// lies on the very mount of the recovery mount point.
QString mountedOverBackupDirectory(const QString& recoveryMountPoint) {
    const QString directory = recoveryMountPoint + "/backup";
    dev_t topDevice = 0;
    dev_t insideDevice = 0;
    int topMount = -1;
    int insideMount = -1;
    if (!mountOfDirectory(recoveryMountPoint, topDevice, topMount) ||
        !mountOfDirectory(directory, insideDevice, insideMount)) {
        return qt_error_string(errno);
    }
    if (topDevice != insideDevice || topMount != insideMount) {
        return QString(
                   "%1 is not on the recovery partition mounted at %2: something is mounted "
                   "on it or it leads elsewhere")
            .arg(directory, recoveryMountPoint);
    }
    return QString();
}

bool foreseeSave(const char* what, const QString& path, qint64 size) {
    const QString error = foreseenWriteError(path, size);
    if (!error.isEmpty()) {
        qWarning() << what << path << ":" << error;
    }
    return error.isEmpty();
}

}  // namespace

int checkPlanFiles(const QString& recoveryMountPoint, const Plan& plan) {
    const QString path = taskFilePath(recoveryMountPoint);
    const QString mounted = mountedOverBackupDirectory(recoveryMountPoint);
    if (!mounted.isEmpty()) {
        qWarning().noquote() << kCannotSaveTaskFile << QString("\"%1\" :").arg(path) << mounted;
        return OtherError;
    }
    if (!foreseeSave(kCannotSaveTaskFile, path, jsonText(plan.document).size())) {
        return OtherError;
    }
    if (plan.indexed && !foreseeIndexSave(recoveryMountPoint, plan.entry)) {
        return OtherError;
    }
    return NoError;
}

int writePlan(const QString& recoveryMountPoint, const Plan& plan) {
    if (!saveJson(kCannotSaveTaskFile, taskFilePath(recoveryMountPoint), plan.document)) {
        return OtherError;
    }
    if (plan.indexed && !recordInIndex(recoveryMountPoint, plan.entry)) {
        return OtherError;
    }
    return NoError;
}

void printTaskFile(const Plan& plan) {
    const QByteArray content = jsonText(plan.document);
    std::fwrite(content.constData(), 1, content.size(), stdout);
    std::fflush(stdout);
}
