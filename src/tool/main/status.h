#pragma once

// What the recovery live system will do at the next boot, on standard output in the system
// language, one fact a line as "key: value": the hand-off state, both flags and the one this
// system version reads, the plan with every partition it names, and for a system backup the
// backups recorded for its location. It judges nothing and writes nothing; only a recovery
// partition that is not mounted gets mounted. NoError when the state could be read,
// OtherError with a message when it could not.
int reportStatus();
