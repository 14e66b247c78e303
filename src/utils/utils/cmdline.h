#pragma once

#include <QString>

namespace Utils {

// What the kernel was booted with, as far as the recovery front end cares.
struct CmdLineInfo {
    QString bootImage;
    QString rootUuid;
    QString boot;
    QString bootFrom;
    QString unionType;
    QString liveMediaPath;
    QString toram;
};

// Both read /proc/cmdline; false when it is missing or cannot be opened.
bool getCmdLineInfo(CmdLineInfo& info);
bool getLiveRootUUIDAndBootTypeByCmdLine(QString& rootUuid, QString& bootType);

// -1 not determined, 0 the installed system of fstabPath, 1 another installed system or a
// squashfs live system, 2 an overlay live system, 3 the recovery live system.
int getBootMode(const QString& fstabPath);

// Pure parts of the above, so a command line text and a by-uuid directory of our own can
// be fed in. byUuidDir is where device links are looked up ("/dev/disk/by-uuid" live).
void parseCmdLineInfo(const QString& cmdline, CmdLineInfo& info, const QString& byUuidDir);
void parseLiveRootUUIDAndBootType(const QString& cmdline, QString& rootUuid, QString& bootType,
                                  const QString& byUuidDir);
// The boot mode of an already parsed command line; the fstab is read only for installed
// systems.
int bootModeOf(const CmdLineInfo& info, const QString& fstabPath);

}  // namespace Utils
