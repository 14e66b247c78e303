#include "tool/main/liveflag.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include "platform/otk/osysinfo.h"
#include "utils/core/command/spawncmd.h"

const char liveFlagPath[] = "/live.flag";
const char liveFlagPathNew[] = "/.flag.d/live.flag";
const char flagDir[] = "/.flag.d";

namespace {

const char kInitramfsService[] = "/usr/lib/systemd/system/rav2ivo-update-initramfs.service";

// Removes path when it exists; false only when it exists and stays.
bool removeIfPresent(const QString& path, const char* failed, const char* succeeded) {
    if (!QFileInfo::exists(path)) {
        return true;
    }
    if (!QFile::remove(path)) {
        qWarning() << failed;
        return false;
    }
    qInfo() << succeeded;
    return true;
}

}  // namespace

int refreshInitramfs() {
    QString output;
    QString error;
    if (SpawnCmd("update-initramfs", {"-u"}, output, error) && QFile::exists(kInitramfsService)) {
        QFile::remove(kInitramfsService);
    }
    return NoError;
}

int cancelBackupOrRestore(const ActionType& /*action*/, const QString& recoveryMountPoint) {
    if (!removeIfPresent(liveFlagPath, "cancelBackupOrRestore, remove liveFlagPath failed!",
                         "cancelBackupOrRestore, cancel liveFlagPath succeed!") ||
        !removeIfPresent(liveFlagPathNew, "cancelBackupOrRestore, remove liveFlagPathNew failed!",
                         "cancelBackupOrRestore, cancel liveFlagPathNew succeed!")) {
        return CancelFailed;
    }
    const QString recoveryJsonPath = QString("%1/backup/recovery.json").arg(recoveryMountPoint);
    if (!QFileInfo::exists(recoveryJsonPath)) {
        return NoError;
    }
    if (!QFile::remove(recoveryJsonPath)) {
        qWarning() << "cancelBackupOrRestore, remove failed! recoveryJsonPath: "
                   << recoveryJsonPath;
        return CancelFailed;
    }
    qInfo() << "cancelBackupOrRestore, cancel recoveryJsonPath succeed!";
    return NoError;
}

QString chooseLiveFlagPath(const QString& majorVersion, const QString& minorVersion,
                           const QString& buildVersion) {
    const int major = majorVersion.toInt();
    if (major != 20) {
        return major > 20 ? liveFlagPathNew : liveFlagPath;
    }
    const int minor = minorVersion.toInt();
    if (minor != 1070) {
        return minor > 1070 ? liveFlagPathNew : liveFlagPath;
    }
    const int build = buildVersion.section('.', 0, 0).toInt();
    return build >= 102 ? liveFlagPathNew : liveFlagPath;
}

int raiseLiveFlag() {
    using Otk::Core::OSysInfo;
    const QString flag = chooseLiveFlagPath(OSysInfo::majorVersion(), OSysInfo::minorVersion(),
                                            OSysInfo::buildVersion());
    if (flag == liveFlagPathNew && !QFileInfo(flagDir).isDir()) {
        if (!SpawnCmd("sudo", {"mkdir", "-p", "/.flag.d/"})) {
            qCritical() << "mkdir flagDir failed";
        }
    }
    SpawnCmd("touch", {flag});
    // Without the flag the live system never runs the plan: success would be a lie.
    if (!QFileInfo::exists(flag)) {
        qWarning() << "The live flag could not be created:" << flag;
        return OtherError;
    }
    qInfo() << QObject::tr("Configuration successful, please reboot your system");
    return NoError;
}
