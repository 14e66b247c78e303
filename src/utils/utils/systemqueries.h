#pragma once

#include <QJsonObject>
#include <QString>

#include "utils/FsTab/fstab.h"

// Size of a directory in 1024-byte blocks, taken from du's total whatever
// its exit code (du exits 1 when it could not read some file, yet its total stands). False
// when du printed no total. 64 bits: a directory of 4 TiB must not read as 0.
bool getDirectorySize(const QString& dir, quint64& blocks);
// The figure of the du line whose path is exactly dir, from du --max-depth=0 output; false
// when there is no such line or its figure is no 64-bit number.
bool parseDuOutput(const QString& output, const QString& dir, quint64& blocks);

namespace Utils {

QString getArchitecture();
QString getUtcTime();
bool getSwapPartitionSize(const QString& path, qint64& size);
// SIZE of the first line of lsblk --bytes --output PATH,SIZE whose PATH is path; 0 when none.
qint64 parseSwapPartitionSize(const QString& output, const QString& path);
bool isValidOsiImage(const QString& file);
bool isReadOnly(const QString& path);
QJsonObject readJsonFile(const QString& path);
QJsonObject jsonFromString(const QString& text);
QString jsonToString(const QJsonObject& object);
QString getRecoveryUuid(const QString& root);
bool hasBackupImages(const QString& uuid);
// The part of hasBackupImages that does not depend on /etc/fstab: whether the "backup" folder of
// the mount point that fstab gives for uuid holds any *.osi image.
bool hasBackupImages(const FSTabInfoList& fstab, const QString& uuid);
bool getProcessNameByPid(int pid, QString& name);
// The command name of a /proc/<pid>/stat text: on each line, the text before the first ")",
// then of that the text between its first "(" and the next "(" (an empty text without one).
QString parseProcessStatName(const QString& stat);
bool reboot(bool ignoreInhibitors, bool force);
bool forceReboot();
bool removePath(const QString& path);

}  // namespace Utils
