#pragma once

#include "tool/main/machinechecks.h"
#include "tool/main/options.h"
#include "tool/main/taskfile.h"

// Checks the backup location, then writes the plan (and, for a system backup, the
// save-path index). The exit code of the first refusal, or NoError. A recorded backup the
// request replaces is handed back in replaced, still on disk and in the index: it may go
// only once the flag is up. A dry run says whether it would go.
int planBackup(const Request& request, const MachineValues& machine, ReplacedBackup& replaced);

// Deletes the replaced backup, then drops it from the index. A backup that stays (refused,
// or not wholly deleted) stays recorded, so it can still be replaced later.
void removeReplacedBackup(const QString& recoveryMountPoint, const ReplacedBackup& replaced);
