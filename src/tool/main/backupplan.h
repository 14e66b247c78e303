#pragma once

#include "tool/main/machinechecks.h"
#include "tool/main/options.h"
#include "tool/main/taskfile.h"

// Checks the backup location, then makes the plan: the task file and, for a system backup,
// the new backup for the save-path index and a recorded backup the request replaces (still on
// disk and in the index: it may go only once the flag is up). Writes nothing. The exit code of
// the first refusal, or NoError.
int planBackup(const Request& request, const MachineValues& machine, Plan& plan);

// The dry run's word on the replaced backup: whether removeReplacedBackup would delete it.
void reportReplacedBackup(const ReplacedBackup& replaced);

// Deletes the replaced backup, syncs the directory that held it, then drops it from the index.
// A backup that stays (refused, not wholly deleted, or its removal not on the disk) stays
// recorded, so it can still be replaced later.
void removeReplacedBackup(const QString& recoveryMountPoint, const ReplacedBackup& replaced);
