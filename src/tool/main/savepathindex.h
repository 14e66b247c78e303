#pragma once

#include <QJsonObject>
#include <QString>

// savePath.json in the recovery partition's backup directory: every system backup by the UUID
// of its location's partition and the time it was made, read by the front end's backup list
// and by the next replace. It is written whole (durably) or not at all, and a replaced backup
// leaves it only once its directory is gone.

// A new system backup for the save-path index.
struct SavePathEntry {
    QString locationUuid;
    QString backupDir;  // relative path + "/" + time stamp
    qint64 secs = 0;
    QString replaceTarget;  // a former backup directory to delete; empty when none
};

// The former system backup a new one replaces, as the save-path index records it.
struct ReplacedBackup {
    QString locationUuid;
    QString key;         // under the location in the index; empty when nothing is replaced
    QString mountPoint;  // the location's
    QString directory;   // relative to mountPoint, the recorded value
    quint64 device = 0;  // the location's partition, as the kernel's mount table numbers it
};

// "<recovery>/backup/savePath.json".
QString savePathIndexPath(const QString& recoveryMountPoint);

// Whether the index with the entry recorded could be saved, told without writing; false with
// the message of a failed save.
bool foreseeIndexSave(const QString& recoveryMountPoint, const SavePathEntry& entry);

// Records the new backup, durably; false with a message naming the index and the reason.
bool recordInIndex(const QString& recoveryMountPoint, const SavePathEntry& entry);

// The entry's replace target when the index records it for the location, whose partition's
// root is mounted at locationMountPoint: only such a directory may go, since the caller's
// text alone could name a home or "/". An empty key, with a warning naming the target,
// otherwise.
ReplacedBackup findReplacedBackup(const QString& recoveryMountPoint,
                                  const QString& locationMountPoint, const SavePathEntry& entry);

// Drops the replaced backup's entry, durably, once its directory is gone; a warning when the
// index cannot be saved.
void forgetReplacedBackup(const QString& recoveryMountPoint, const ReplacedBackup& replaced);

// The first key (ascending) whose value, prefixed by mountPoint, equals replaceTarget.
QString findRecordedBackupKey(const QJsonObject& locationIndex, const QString& mountPoint,
                              const QString& replaceTarget);
