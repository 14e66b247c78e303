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
};

// The entry's replace target when the index records it for the location, whose partition's
// root is mounted at locationMountPoint: only such a directory may go, since the caller's
// text alone could name a home or "/". An empty key, with a warning naming the target,
// otherwise.
ReplacedBackup findReplacedBackup(const QString& recoveryMountPoint,
                                  const QString& locationMountPoint, const SavePathEntry& entry);

// Everything a request hands to the live system: the task file and, for a system backup, the
// new backup for the save-path index and a recorded backup it replaces.
struct Plan {
    QJsonObject document;
    bool indexed = false;  // a system backup: the index records it
    SavePathEntry entry;
    ReplacedBackup replaced;
};

// Before anything is written, real and dry runs alike: the plan's files must reach the recovery
// partition itself (nothing mounted on its backup directory, not even a bind: the live system
// reads the partition), and their saves must not be seen to fail (the directory writable, room
// for each file, no directory or unwritable file at its path). OtherError with the message a
// failed save gives, or NoError.
int checkPlanFiles(const QString& recoveryMountPoint, const Plan& plan);

// Replaces "<recovery>/backup/recovery.json" whole, then records a system backup in
// "<recovery>/backup/savePath.json" (a replaced backup stays recorded until it is gone), each
// file synced, renamed and its directory synced: once this returns NoError, a power cut
// leaves the new plan. OtherError, naming the file and the reason, when either cannot be
// saved: without a plan, or with a backup the index could never find or replace, no flag.
int writePlan(const QString& recoveryMountPoint, const Plan& plan);

// The dry run's stand-in for writePlan once checkPlanFiles passed: the exact text the task
// file would hold, on standard output.
void printTaskFile(const Plan& plan);

// Drops the replaced backup's entry, durably, once its directory is gone; a warning when the
// index cannot be saved.
void forgetReplacedBackup(const QString& recoveryMountPoint, const ReplacedBackup& replaced);

// The first key (ascending) whose value, prefixed by mountPoint, equals replaceTarget.
QString findRecordedBackupKey(const QJsonObject& locationIndex, const QString& mountPoint,
                              const QString& replaceTarget);
