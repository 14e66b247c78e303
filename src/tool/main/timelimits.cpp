#include "tool/main/timelimits.h"

#include <QDebug>
#include <QFileInfo>
#include <QStringList>
#include <algorithm>
#include <limits>

#include "platform/process/childprocess.h"
#include "tool/main/options.h"
#include "utils/core/command/spawncmd.h"

namespace {

// A healthy machine never comes near a limit: each is many times the longest run measured
// (docs/reliability.md gives the figures). What a limit buys is an end to a run that would
// otherwise wait for ever on a dead network mount or a failing disk, with the run lock held.
struct ProgramLimit {
    const char* program;
    int seconds;
};

// Questions to the kernel, to udev's records or to a small file: well under a second even on a
// machine with hundreds of devices. A minute also covers a machine swapping hard.
constexpr int kQuestion = 60;
// Work that grows with the data: du walks every file under /opt and /var (millions of files on
// a cold rotating disk take many minutes); some usage tools read the whole file-system
// tree (dosfsck, debugreiserfs) and the image tool reads the image it checks.
constexpr int kDataWalk = 2 * 60 * 60;
// Rebuilding the initramfs compresses one image per installed kernel: a few minutes at most.
constexpr int kSystemUpdate = 30 * 60;

const ProgramLimit kLimits[] = {
    {"lsblk", kQuestion},
    {"dmsetup", kQuestion},
    {"df", kQuestion},  // asked of one path: it asks only the file system holding it
    {"blkid", kQuestion},
    {"dpkg", kQuestion},
    {"date", kQuestion},
    {"touch", kQuestion},
    {"mkdir", kQuestion},
    {"du", kDataWalk},
    {"dumpe2fs", kDataWalk},
    {"btrfs", kDataWalk},
    {"ntfsinfo", kDataWalk},
    {"xfs_db", kDataWalk},
    {"dosfsck", kDataWalk},
    {"jfs_debugfs", kDataWalk},
    {"nilfs-tune", kDataWalk},
    {"debugreiserfs", kDataWalk},
    {"debugfs.reiser4", kDataWalk},
    {"orvik-clone", kDataWalk},
    {"update-initramfs", kSystemUpdate},
};
// A program not listed: long enough for any job the tool gives, short of for ever.
constexpr int kUnlisted = kDataWalk;

// The program that does the work: sudo's command rather than sudo.
QString workingProgram(const QString& program, const QStringList& args) {
    const QString name = QFileInfo(program).fileName();
    if (name != QLatin1String("sudo")) {
        return name;
    }
    for (const QString& arg : args) {
        if (!arg.startsWith('-')) {
            return QFileInfo(arg).fileName();
        }
    }
    return name;
}

// Tests only, which cannot wait an hour for each hung program: ORVIK_TIME_LIMIT_SECONDS caps
// every limit; it never raises one.
int testCap() {
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("ORVIK_TIME_LIMIT_SECONDS", &ok);
    return ok && seconds > 0 ? seconds : std::numeric_limits<int>::max();
}

// The table's limit, or less under the test variable.
int programTimeLimit(const QString& program, const QStringList& args) {
    const QString name = workingProgram(program, args);
    int seconds = kUnlisted;
    for (const ProgramLimit& limit : kLimits) {
        if (name == QLatin1String(limit.program)) {
            seconds = limit.seconds;
        }
    }
    return std::min(seconds, testCap());
}

}  // namespace

void setUpProgramStarts() {
    resetChildSignal();
    setTimeLimits(programTimeLimit);
}

QString timeLimitReached() {
    const TimedOutProgram stopped = firstTimedOutProgram();
    if (stopped.command.isEmpty()) {
        return QString();
    }
    return QString("%1 did not end within %2 seconds").arg(stopped.command).arg(stopped.seconds);
}

int withinTimeLimits(int code) {
    const TimedOutProgram stopped = firstTimedOutProgram();
    if (stopped.command.isEmpty()) {
        return code;
    }
    static bool said = false;
    if (!said) {
        said = true;
        qWarning().noquote() << QObject::tr("%1 did not end within %2 seconds; nothing was written")
                                    .arg(stopped.command)
                                    .arg(stopped.seconds);
    }
    return OtherError;
}
