#include "utils/utils/fsck.h"

#include <QDebug>
#include <QProcess>

#include "utils/core/text/nultext.h"

namespace {

// fsck's exit codes: 0 clean, 1 errors corrected, 2 corrected but reboot, 4 errors left.
constexpr int kErrorsCorrected = 1;
constexpr int kErrorsLeft = 4;

// sudo is started directly: the device path reaches fsck as one argument, never a shell.
void runFsck(QProcess& process, const QStringList& fsckArgs) {
    process.setProgram("sudo");
    process.setArguments(QStringList{"fsck"} + fsckArgs);
    process.start(QIODevice::ReadWrite);
    process.waitForFinished(-1);
}

bool exitedNormally(const QProcess& process) {
    return process.error() != QProcess::FailedToStart &&
           process.exitStatus() == QProcess::NormalExit;
}

}  // namespace

namespace Utils {

bool checkPartitionErrorByFsck(const QString& devicePath) {
    QProcess process;
    runFsck(process, {"-v", "-n", devicePath});
    const int exitCode = process.exitCode();
    const QProcess::ExitStatus exitStatus = process.exitStatus();
    qInfo() << "fsck: exitCode: " << exitCode << ", exitStatus: " << exitStatus
            << ", devicePath: " << devicePath;
    return exitedNormally(process) && exitCode == kErrorsLeft;
}

bool fixPartitionByFsck(const QString& devicePath, QString& output, QString& error) {
    QProcess process;
    runFsck(process, {"-y", devicePath});
    output.append(textUpToNul(process.readAllStandardOutput()));
    error.append(textUpToNul(process.readAllStandardError()));
    const int exitCode = process.exitCode();
    const QProcess::ExitStatus exitStatus = process.exitStatus();
    qInfo() << "fsck: exitCode: " << exitCode << ", exitStatus: " << exitStatus;
    return exitedNormally(process) && static_cast<unsigned>(exitCode) <= kErrorsCorrected;
}

}  // namespace Utils
