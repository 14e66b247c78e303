#include "tool/main/savepathindex.h"

#include <QDebug>
#include <QJsonDocument>

#include "platform/files/durablefile.h"
#include "utils/utils/systemqueries.h"

namespace {

const char kCannotSaveIndex[] = "Cannot save the save-path index";

QByteArray indexText(const QJsonObject& index) {
    return QJsonDocument(index).toJson(QJsonDocument::Indented);
}

// The index as it stands, with the new backup recorded.
QJsonObject indexWithEntry(const QString& path, const SavePathEntry& entry) {
    QJsonObject index = Utils::readJsonFile(path);
    QJsonObject locationIndex = index.value(entry.locationUuid).toObject();
    locationIndex.insert(QString::number(entry.secs), entry.backupDir);
    index.insert(entry.locationUuid, locationIndex);
    return index;
}

void warnCannotSave(const QString& path, const QString& error) {
    qWarning() << kCannotSaveIndex << path << ":" << error;
}

bool saveIndex(const QString& path, const QJsonObject& index) {
    QString error;
    if (writeFileDurably(path, indexText(index), error)) {
        return true;
    }
    warnCannotSave(path, error);
    return false;
}

}  // namespace

QString savePathIndexPath(const QString& recoveryMountPoint) {
    return QString("%1/backup/savePath.json").arg(recoveryMountPoint);
}

bool foreseeIndexSave(const QString& recoveryMountPoint, const SavePathEntry& entry) {
    const QString path = savePathIndexPath(recoveryMountPoint);
    const QString error = foreseenWriteError(path, indexText(indexWithEntry(path, entry)).size());
    if (!error.isEmpty()) {
        warnCannotSave(path, error);
    }
    return error.isEmpty();
}

bool recordInIndex(const QString& recoveryMountPoint, const SavePathEntry& entry) {
    const QString path = savePathIndexPath(recoveryMountPoint);
    return saveIndex(path, indexWithEntry(path, entry));
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
    const QJsonObject locationIndex = Utils::readJsonFile(savePathIndexPath(recoveryMountPoint))
                                          .value(entry.locationUuid)
                                          .toObject();
    replaced.key = findRecordedBackupKey(locationIndex, replaced.mountPoint, entry.replaceTarget);
    if (replaced.key.isEmpty()) {
        qWarning() << "Not a recorded backup of this location, nothing deleted:"
                   << entry.replaceTarget;
    }
    replaced.directory = locationIndex.value(replaced.key).toString();
    return replaced;
}

void forgetReplacedBackup(const QString& recoveryMountPoint, const ReplacedBackup& replaced) {
    const QString path = savePathIndexPath(recoveryMountPoint);
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
