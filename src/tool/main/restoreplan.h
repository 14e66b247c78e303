#pragma once

#include "tool/main/machinechecks.h"
#include "tool/main/options.h"

// The fixed initial image that a reset to factory settings restores from.
extern const char initialSystemImage[];

// Checks the images to restore from, then writes the plan. The exit code of the first
// refusal, or NoError.
int planRestore(const Request& request, const MachineValues& machine);
