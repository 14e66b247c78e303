#pragma once

#include "tool/main/machinechecks.h"
#include "tool/main/options.h"

// Checks the backup location, then writes the plan (and, for a system backup, the
// save-path index). The exit code of the first refusal, or NoError.
int planBackup(const Request& request, const MachineValues& machine);
