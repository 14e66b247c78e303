#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QVariant>

// One system backup found on disk.
struct BackupFileInfo {
    QString backupUUID;  // the partition holding it (a key of savePath.json)
    QString backupPath;  // relative to that partition's mount point, as the index stores it
    QString backupTime;  // "yyyy/MM/dd", local time
    QString createTime;  // seconds since the epoch, as the index stores it
};

namespace Utils {

// Mounts the partition of uuid through udisks (or finds where it is mounted); empty when no
// device carries uuid. An empty uuid matches nothing. Each call that this process's mount
// serves is one use of it, shared by every thread.
QString mountDeviceByUUID(const QString& uuid);
// Ends one use of a mount this process made; the last use unmounts it. A partition this
// process found mounted stays mounted ("/" and the running system's mounts among them); to
// unmount one whoever mounted it, use the disk layer: Disks::list().unmount(uuid).
void umountDeviceByUUID(const QString& uuid);

// The backups recorded in the save-path index that are still whole on disk, newest first.
// With umount, each partition is afterwards released as umountDeviceByUUID does.
void getHistoryBackup(QList<BackupFileInfo>& list, const QString& indexPath, bool umount);
// QList<QPair<QString, QString>> of (creation time, full backup path), newest first. The
// partitions stay mounted; each mount made here is one use (umountDeviceByUUID ends it).
QVariant getHistoryBackupPaths(const QString& indexPath);

// Reads the task file and removes it, so a plan is consumed once.
bool getRecoveryJsonInfo(QJsonObject& object, const QString& path);

// The locale of the system installed under root.
bool getLocale(const QString& root, QString& locale);

// The backups of one partition mounted at mountPoint: times maps creation times to backup
// directories relative to mountPoint. A directory counts when it holds at least one "*.osi"
// image and exactly two "*.tar" archives. Appends in the order of times.
void appendPartitionBackups(QList<BackupFileInfo>& list, const QString& uuid,
                            const QString& mountPoint, const QJsonObject& times);
// Newest first by createTime read as an unsigned 32-bit number.
void sortBackupsNewestFirst(QList<BackupFileInfo>& list);

}  // namespace Utils
