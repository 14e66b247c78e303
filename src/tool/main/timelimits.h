#pragma once

#include <QString>

// Every program the tool starts has a time limit. When one reaches it, the program and what it
// started are killed, no further program is started, and the run ends with -1: before anything
// is written, or, in raising the flag, saying what stands. The limits, with the reason for each,
// are in timelimits.cpp.

// At start-up: the signal the waiting relies on reset, the limits in force.
void setUpProgramStarts();

// The program stopped at its time limit, as "PROGRAM ARGUMENTS did not end within N seconds";
// empty while none was.
QString timeLimitReached();

// code, or OtherError (said once) when a program has been stopped at its time limit: the
// checks that program was part of did not run to their end.
int withinTimeLimits(int code);
