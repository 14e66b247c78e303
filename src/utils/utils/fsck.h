#pragma once

#include <QString>

namespace Utils {

// Read-only check (fsck -v -n): true when the file system has errors left uncorrected.
bool checkPartitionErrorByFsck(const QString& devicePath);
// Repair (fsck -y): true when the file system is clean afterwards. fsck's standard output
// and standard error are appended to output and error.
bool fixPartitionByFsck(const QString& devicePath, QString& output, QString& error);

}  // namespace Utils
