#pragma once

// For our own tests only; not installed with the public headers.

#include <QString>

namespace Utils {

// Where getBlkIdInfoList looks for LVM volumes ("/dev/mapper/" unless a test points it at
// a directory of its own). The device paths it appends always start with "/dev/mapper/".
void setMapperDirForTests(const QString& dir);

}  // namespace Utils
