#include "tool/main/liveflag.h"

#include <unistd.h>

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <cerrno>

#include "platform/files/durablefile.h"
#include "platform/otk/osysinfo.h"
#include "tool/main/timelimits.h"
#include "utils/core/command/spawncmd.h"

const char liveFlagPath[] = "/live.flag";
const char liveFlagPathNew[] = "/.flag.d/live.flag";
const char flagDir[] = "/.flag.d";

namespace {

const char kInitramfsService[] = "/usr/lib/systemd/system/rav2ivo-update-initramfs.service";
const char* const kFlags[] = {liveFlagPath, liveFlagPathNew};

QString directoryOf(const QString& path) {
    return QFileInfo(path).absolutePath();
}

// A cancel's removal is done only once the directory that held the name is synced.
bool removalSynced(const QString& path) {
    QString error;
    if (syncDirectory(directoryOf(path), error)) {
        return true;
    }
    qWarning() << "cancelBackupOrRestore, sync failed! directory:" << directoryOf(path)
               << "after removing" << path << ":" << error;
    return false;
}

// Removes path when it exists; false only when it exists and stays, or its removal is not
// known to be on the disk.
bool removeIfPresent(const QString& path, const char* failed, const char* succeeded) {
    if (!QFileInfo::exists(path)) {
        return true;
    }
    if (!QFile::remove(path)) {
        qWarning() << failed;
        return false;
    }
    if (!removalSynced(path)) {
        return false;
    }
    qInfo() << succeeded;
    return true;
}

QString chosenLiveFlag() {
    using Otk::Core::OSysInfo;
    return chooseLiveFlagPath(OSysInfo::majorVersion(), OSysInfo::minorVersion(),
                              OSysInfo::buildVersion());
}

// Why the flag is not up and on the disk; empty when it is.
QString flagFailure(const QString& flag, bool madeDirectory) {
    const QString late = timeLimitReached();
    if (!late.isEmpty()) {
        return late;
    }
    if (!QFileInfo::exists(flag)) {
        return QString("The live flag could not be created: %1").arg(flag);
    }
    QString error;
    if (!syncFile(flag, error)) {
        return QString("The live flag %1 could not be synced: %2").arg(flag, error);
    }
    if (!syncDirectory(directoryOf(flag), error)) {
        return QString("The directory of the live flag %1 could not be synced: %2")
            .arg(flag, error);
    }
    if (madeDirectory && !syncDirectory("/", error)) {
        return QString("The directory / could not be synced after making %1: %2")
            .arg(flagDir, error);
    }
    return QString();
}

// The run ends with -1, so no flag of its making may stay over the plan it wrote.
void withdrawLiveFlag(const QString& flag) {
    QString error;
    if (QFileInfo::exists(flag) && !removeFileDurably(flag, error)) {
        qWarning().noquote() << QString(
                                    "The live flag %1 could not be withdrawn (%2): the plan "
                                    "written may be carried out at the next boot")
                                    .arg(flag, error);
        return;
    }
    qWarning().noquote() << "The plan is written, but no flag is raised: nothing will be "
                            "carried out at the next boot";
}

// Why path could not be removed, as far as can be told without removing it; empty when
// nothing is seen. As root only a directory, an immutable file or directory, or a read-only
// file system stands in the way.
QString foreseenRemovalError(const QString& path) {
    if (QFileInfo(path).isDir()) {
        return qt_error_string(EISDIR);
    }
    if (::access(QFile::encodeName(directoryOf(path)).constData(), W_OK | X_OK) != 0 ||
        ::access(QFile::encodeName(path).constData(), W_OK) != 0) {
        return qt_error_string(errno);
    }
    return QString();
}

// Why the flag could not be raised, as far as can be told without raising it.
QString foreseenRaiseError(const QString& flag) {
    const QFileInfo directory(directoryOf(flag));
    if (directory.exists() && !directory.isDir()) {
        return qt_error_string(ENOTDIR);
    }
    // A missing flag directory is made in "/".
    const QString made = directory.exists() ? directory.filePath() : QString("/");
    if (::access(QFile::encodeName(made).constData(), W_OK | X_OK) != 0) {
        return qt_error_string(errno);
    }
    return QString();
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
    if (!removalSynced(recoveryJsonPath)) {
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

int lowerLiveFlags() {
    for (const char* flag : kFlags) {
        QString error;
        if (QFileInfo::exists(flag) && !removeFileDurably(flag, error)) {
            qWarning() << "The flag of the earlier plan could not be withdrawn:" << flag << ":"
                       << error;
            return OtherError;
        }
    }
    return NoError;
}

int raiseLiveFlag() {
    const QString flag = chosenLiveFlag();
    const bool madeDirectory = flag == liveFlagPathNew && !QFileInfo(flagDir).isDir();
    if (madeDirectory && !SpawnCmd("sudo", {"mkdir", "-p", "/.flag.d/"})) {
        qCritical() << "mkdir flagDir failed";
    }
    SpawnCmd("touch", {flag});
    // Success only once the flag is up and on the disk, within its time limits: the live
    // system runs the plan exactly when the flag is there after the next boot.
    const QString failure = flagFailure(flag, madeDirectory);
    if (!failure.isEmpty()) {
        qWarning().noquote() << failure;
        withdrawLiveFlag(flag);
        return OtherError;
    }
    qInfo() << QObject::tr("Configuration successful, please reboot your system");
    return NoError;
}

int foreseeLiveFlags() {
    for (const char* flag : kFlags) {
        const QString error = QFileInfo::exists(flag) ? foreseenRemovalError(flag) : QString();
        if (!error.isEmpty()) {
            qWarning() << "The flag of the earlier plan could not be withdrawn:" << flag << ":"
                       << error;
            return OtherError;
        }
    }
    const QString flag = chosenLiveFlag();
    const QString error = foreseenRaiseError(flag);
    if (!error.isEmpty()) {
        qWarning() << "The live flag could not be created:" << flag << ":" << error;
        return OtherError;
    }
    return NoError;
}
