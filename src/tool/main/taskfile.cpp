#include "tool/main/taskfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
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
const char kCannotSaveIndex[] = "Cannot save the save-path index";

QString indexPath(const QString& recoveryMountPoint) {
    return QString("%1/backup/savePath.json").arg(recoveryMountPoint);
}

// The index as it stands, with the new backup recorded.
QJsonObject indexWithEntry(const QString& path, const SavePathEntry& entry) {
    QJsonObject index = Utils::readJsonFile(path);
    QJsonObject locationIndex = index.value(entry.locationUuid).toObject();
    locationIndex.insert(QString::number(entry.secs), entry.backupDir);
    index.insert(entry.locationUuid, locationIndex);
    return index;
}

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

// Why writeFileDurably would fail to save size bytes at path, in the words of a failed save, as
// far as it can be told without writing; empty when nothing is seen. The save writes a new file
// beside the file, then renames it over what stands at the path.
QString foreseenSaveError(const QString& path, qint64 size) {
    const QFileInfo existing(path);
    if (existing.isDir()) {
        return qt_error_string(EISDIR);
    }
    const QByteArray file = QFile::encodeName(path);
    if (existing.exists() && ::access(file.constData(), W_OK) != 0) {
        return qt_error_string(errno);  // immutable, or a read-only file system
    }
    const QByteArray directory = QFile::encodeName(existing.absolutePath());
    struct statvfs room {};
    if (::access(directory.constData(), W_OK | X_OK) != 0 ||
        ::statvfs(directory.constData(), &room) != 0) {
        return qt_error_string(errno);
    }
    // As root the save may use the blocks kept for root; the old file is freed only after.
    const quint64 block = std::max<quint64>(room.f_frsize, 1);
    const quint64 blocks = (quint64(size) + block - 1) / block;
    if (blocks > room.f_bfree || (room.f_files > 0 && room.f_ffree == 0)) {
        return qt_error_string(ENOSPC);
    }
    return QString();
}

bool statMount(const QString& path, struct statx& st) {
    return ::statx(AT_FDCWD, QFile::encodeName(path).constData(), 0, STATX_MNT_ID, &st) == 0;
}

// The live system reads the backup directory of the recovery partition itself: a file system
// mounted there (a tmpfs, a bind of any directory, even of itself) would take the plan while
// the partition kept its earlier one, which the flag would then arm. Empty when the directory
// lies on the very mount of the recovery mount point.
QString mountedOverBackupDirectory(const QString& recoveryMountPoint) {
    const QString directory = recoveryMountPoint + "/backup";
    struct statx top {};
    struct statx inside {};
    if (!statMount(recoveryMountPoint, top) || !statMount(directory, inside)) {
        return qt_error_string(errno);
    }
    const bool mountIds = (top.stx_mask & inside.stx_mask & STATX_MNT_ID) != 0;
    if (top.stx_dev_major != inside.stx_dev_major || top.stx_dev_minor != inside.stx_dev_minor ||
        (mountIds && top.stx_mnt_id != inside.stx_mnt_id)) {
        return QString(
                   "%1 is not on the recovery partition mounted at %2: something is mounted "
                   "on it or it leads elsewhere")
            .arg(directory, recoveryMountPoint);
    }
    return QString();
}

bool foreseeSave(const char* what, const QString& path, qint64 size) {
    const QString error = foreseenSaveError(path, size);
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
    const QString index = indexPath(recoveryMountPoint);
    if (plan.indexed &&
        !foreseeSave(kCannotSaveIndex, index, jsonText(indexWithEntry(index, plan.entry)).size())) {
        return OtherError;
    }
    return NoError;
}

int writePlan(const QString& recoveryMountPoint, const Plan& plan) {
    if (!saveJson(kCannotSaveTaskFile, taskFilePath(recoveryMountPoint), plan.document)) {
        return OtherError;
    }
    const QString index = indexPath(recoveryMountPoint);
    if (plan.indexed && !saveJson(kCannotSaveIndex, index, indexWithEntry(index, plan.entry))) {
        return OtherError;
    }
    return NoError;
}

void printTaskFile(const Plan& plan) {
    const QByteArray content = jsonText(plan.document);
    std::fwrite(content.constData(), 1, content.size(), stdout);
    std::fflush(stdout);
}

ReplacedBackup findReplacedBackup(const QString& recoveryMountPoint,
                                  const QString& locationMountPoint, const SavePathEntry& entry) {
    ReplacedBackup replaced{entry.locationUuid, QString(), QString(), QString()};
    if (entry.replaceTarget.isEmpty()) {
        return replaced;
    }
    replaced.mountPoint = locationMountPoint;
    if (replaced.mountPoint.isEmpty()) {
        qWarning() << "No mount point for the backup location, nothing deleted:"
                   << entry.replaceTarget;
        return replaced;
    }
    const QJsonObject locationIndex =
        Utils::readJsonFile(indexPath(recoveryMountPoint)).value(entry.locationUuid).toObject();
    replaced.key = findRecordedBackupKey(locationIndex, replaced.mountPoint, entry.replaceTarget);
    if (replaced.key.isEmpty()) {
        qWarning() << "Not a recorded backup of this location, nothing deleted:"
                   << entry.replaceTarget;
    }
    replaced.directory = locationIndex.value(replaced.key).toString();
    return replaced;
}

void forgetReplacedBackup(const QString& recoveryMountPoint, const ReplacedBackup& replaced) {
    const QString path = indexPath(recoveryMountPoint);
    QJsonObject index = Utils::readJsonFile(path);
    QJsonObject locationIndex = index.value(replaced.locationUuid).toObject();
    if (locationIndex.value(replaced.key).toString() != replaced.directory) {
        return;  // no longer recorded as it was
    }
    locationIndex.remove(replaced.key);
    index.insert(replaced.locationUuid, locationIndex);
    saveJson(kCannotSaveIndex, path, index);
}

QString findRecordedBackupKey(const QJsonObject& locationIndex, const QString& mountPoint,
                              const QString& replaceTarget) {
    if (mountPoint.isEmpty() || replaceTarget.isEmpty()) {
        return QString();
    }
    for (const QString& key : locationIndex.keys()) {
        const QJsonValue value = locationIndex.value(key);
        if (value.isString() && mountPoint + value.toString() == replaceTarget) {
            return key;
        }
    }
    return QString();
}
