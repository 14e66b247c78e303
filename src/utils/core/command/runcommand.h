#pragma once

#include "platform/process/childprocess.h"

// The path of every program the library starts: sudo left out for a root caller, its time
// limit applied, a program that reached it recorded, one that could not start logged with the
// reason.
ChildResult runCommand(ChildRequest request);
