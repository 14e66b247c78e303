#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include "tool/main/locationchecks.h"
#include "tool/main/machinechecks.h"
#include "tool/main/options.h"

// The instant a plan is made: names the backup directory and keys the save-path index.
struct TimeStamp {
    QString text;  // yyyy-MM-dd-hh-mm-ss, local time
    qint64 secs = 0;
};
TimeStamp takeTimeStamp();

// Everything the task templates are filled from.
struct PlanValues {
    ActionType action = NoAction;
    bool format = false;
    bool reboot = false;
    QString locale;
    QString recoveryUuid;
    QString bootUuid;
    QString dataUuid;
    QString rootUuid;
    QString locationUuid;
    QString relativePath;
    QString timeStamp;
    bool dataOnOtherDrive = false;
};

// The request, the machine and the location as the templates see them. Whether the data
// partition lies on another drive than the root partition is decided here: no data drive,
// no data image.
PlanValues makePlanValues(const Request& request, const MachineValues& machine,
                          const Location& location, const QString& timeStamp);

// recovery.json: the enabled templates, in template order, numbered task-1, task-2 ...
QJsonObject buildTaskDocument(const PlanValues& values);

// Replaces "<recovery>/backup/recovery.json" whole, or leaves the earlier file as it was.
// OtherError when the file cannot be saved: without a plan no flag may be raised.
int writeTaskFile(const QString& recoveryMountPoint, const QJsonObject& document);

// The dry run's stand-in for writeTaskFile: once the save is shown possible (the directory
// writable, room for the file, no directory or unwritable file at its path), the exact text
// the file would hold goes to standard output. OtherError, with the same message as a failed
// save, when the save is seen to fail.
int printTaskFile(const QString& recoveryMountPoint, const QJsonObject& document);

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

// The entry's replace target when the index records it for the location, whose partition's
// root is mounted at locationMountPoint: only such a directory may go, since the caller's
// text alone could name a home or "/". An empty key, with a warning naming the target,
// otherwise.
ReplacedBackup findReplacedBackup(const QString& recoveryMountPoint,
                                  const QString& locationMountPoint, const SavePathEntry& entry);

// Records the new backup in "<recovery>/backup/savePath.json" (written atomically); a
// replaced backup stays recorded until it is gone. OtherError when the index cannot be
// saved: the new backup could never be found or replaced, so no flag.
int updateSavePathIndex(const QString& recoveryMountPoint, const SavePathEntry& entry);

// Drops the replaced backup's entry once its directory is gone; a warning when the index
// cannot be saved.
void forgetReplacedBackup(const QString& recoveryMountPoint, const ReplacedBackup& replaced);

// The first key (ascending) whose value, prefixed by mountPoint, equals replaceTarget.
QString findRecordedBackupKey(const QJsonObject& locationIndex, const QString& mountPoint,
                              const QString& replaceTarget);
