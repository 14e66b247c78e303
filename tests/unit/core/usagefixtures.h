#pragma once

// The usage tools' captured output (tests/fixtures/usage, see capture.sh there).

#include "common/testfiles.h"

inline QString readUsageFixture(const QString& name) {
    return readFixture("usage/" + name);
}

// The device path a fixture was captured from (kept beside it in <name>.device).
inline QString fixtureDevice(const QString& name) {
    return readUsageFixture(name + ".device").trimmed();
}
