#pragma once

#include "tool/main/machinechecks.h"
#include "tool/main/options.h"

// Checks the images to restore from, then writes the plan. The exit code of the first
// refusal, or NoError.
int planRestore(const Request& request, const MachineValues& machine);
