#pragma once

#include "tool/main/machinechecks.h"
#include "tool/main/options.h"
#include "tool/main/taskfile.h"

// Checks the images to restore from, then makes the plan; writes nothing. The exit code of
// the first refusal, or NoError.
int planRestore(const Request& request, const MachineValues& machine, Plan& plan);
