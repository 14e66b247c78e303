#include "utils/utils/fsck.h"

#include <QDebug>
#include <QProcess>

#include "utils/core/command/spawncmd.h"

namespace {

// fsck's exit codes: 0 clean, 1 errors corrected, 2 corrected but reboot, 4 errors left.
constexpr int kErrorsCorrected = 1;
constexpr int kErrorsLeft = 4;

// Started directly, never through a shell: the device path reaches fsck as one argument.
SpawnExit runFsck(const QStringList& fsckArgs, QString& output, QString& error) {
    SpawnExit exit;
    SpawnCmd("sudo", QStringList{"fsck"} + fsckArgs, output, error, exit);
    return exit;
}

bool exitedNormally(const SpawnExit& exit) {
    return exit.started && !exit.crashed;
}

QProcess::ExitStatus statusOf(const SpawnExit& exit) {
    return exit.crashed ? QProcess::CrashExit : QProcess::NormalExit;
}

}  // namespace

namespace Utils {

bool checkPartitionErrorByFsck(const QString& devicePath) {
    QString output;
    QString error;
    const SpawnExit exit = runFsck({"-v", "-n", devicePath}, output, error);
    qInfo() << "fsck: exitCode: " << exit.code << ", exitStatus: " << statusOf(exit)
            << ", devicePath: " << devicePath;
    return exitedNormally(exit) && exit.code == kErrorsLeft;
}

bool fixPartitionByFsck(const QString& devicePath, QString& output, QString& error) {
    const SpawnExit exit = runFsck({"-y", devicePath}, output, error);
    qInfo() << "fsck: exitCode: " << exit.code << ", exitStatus: " << statusOf(exit);
    return exitedNormally(exit) && static_cast<unsigned>(exit.code) <= kErrorsCorrected;
}

}  // namespace Utils
