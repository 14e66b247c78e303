#include "tool/main/taskfile.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "tool/main/timelimits.h"
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

bool saveJson(const QString& path, const QJsonObject& object, QString& error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        error = file.errorString();
        return false;
    }
    const QByteArray content = jsonText(object);
    // QSaveFile::commit() does not notice a write that fails only when its buffer is
    // flushed (a full disk): it would replace the file with an empty one. Flush first.
    if (file.write(content) != content.size() || !file.flush()) {
        error = file.errorString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}

bool saveIndex(const QString& path, const QJsonObject& index) {
    QString error;
    if (!saveJson(path, index, error)) {
        qWarning() << "Cannot save the save-path index" << path << ":" << error;
        return false;
    }
    return true;
}

QString indexPath(const QString& recoveryMountPoint) {
    return QString("%1/backup/savePath.json").arg(recoveryMountPoint);
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

int writeTaskFile(const QString& recoveryMountPoint, const QJsonObject& document) {
    const QString path = taskFilePath(recoveryMountPoint);
    QString error;
    // A plan comes only from checks that all ran to their end.
    if (withinTimeLimits(NoError) != NoError) {
        return OtherError;
    }
    if (!saveJson(path, document, error)) {
        qWarning() << "Cannot save the task file" << path << ":" << error;
        return OtherError;
    }
    return NoError;
}

namespace {

// Why saveJson would fail to save size bytes at path, in the words of a failed save, as far as
// it can be told without writing; empty when nothing is seen. The save writes a temporary file
// beside the file, then renames it over what stands at the path.
QString foreseenSaveError(const QString& path, qint64 size) {
    const QFileInfo existing(path);
    if (existing.isDir()) {
        return QStringLiteral("Filename refers to a directory");
    }
    if (existing.exists() && !existing.isWritable()) {
        return QStringLiteral("Existing file %1 is not writable").arg(path);
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

}  // namespace

int printTaskFile(const QString& recoveryMountPoint, const QJsonObject& document) {
    const QString path = taskFilePath(recoveryMountPoint);
    if (withinTimeLimits(NoError) != NoError) {
        return OtherError;
    }
    const QByteArray content = jsonText(document);
    const QString error = foreseenSaveError(path, content.size());
    if (!error.isEmpty()) {
        qWarning() << "Cannot save the task file" << path << ":" << error;
        return OtherError;
    }
    std::fwrite(content.constData(), 1, content.size(), stdout);
    std::fflush(stdout);
    return NoError;
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

int updateSavePathIndex(const QString& recoveryMountPoint, const SavePathEntry& entry) {
    const QString path = indexPath(recoveryMountPoint);
    QJsonObject index = Utils::readJsonFile(path);
    QJsonObject locationIndex = index.value(entry.locationUuid).toObject();
    locationIndex.insert(QString::number(entry.secs), entry.backupDir);
    index.insert(entry.locationUuid, locationIndex);
    return saveIndex(path, index) ? NoError : OtherError;
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
    saveIndex(path, index);
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
