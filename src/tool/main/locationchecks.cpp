#include "tool/main/locationchecks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <limits>

#include "platform/mounts/mounttable.h"
#include "utils/core/command/spawncmd.h"
#include "utils/core/partitionusage/fstype.h"
#include "utils/core/partitionusage/partitionusage.h"
#include "utils/utils/systemqueries.h"

namespace {

// No backup may lie on the system partitions themselves: they give no type.
QString backupFsType(const Location& location, const MachineValues& machine) {
    const QString& uuid = location.locationUuid;
    const QString& mountPoint = location.mount.mountPoint;
    if (mountPoint == "/" || mountPoint == "/boot" ||
        (!uuid.isEmpty() && (uuid == machine.rootUuid || uuid == machine.bootUuid))) {
        return QString();
    }
    return location.fsType;
}

// The mount holding the directory, the listed partition it comes from and the path within it.
void locate(const MachineValues& machine, Location& location) {
    const QString path = redirectedPath(location.directory, machine.dataMountPoint);
    const MountEntry* mount = mountHolding(machine.disks.mounts(), path);
    if (!mount) {
        qWarning() << "No mount of the kernel's table holds" << path;
        return;
    }
    location.mount = *mount;
    location.fsType = mount->fsType;
    const ListedDevice* partition = machine.disks.backing(*mount);
    if (!partition || partition->uuid.isEmpty()) {
        return;
    }
    location.fsType = partition->type;
    location.locationUuid = partition->uuid;
    location.relativePath = pathWithinMount(*mount, path);
    location.mountPoint = machine.disks.rootMountPointOf(*partition);
}

QString joined(const QString& mountPoint, const QString& relativePath) {
    if (relativePath.isEmpty() || mountPoint.endsWith('/') || relativePath.startsWith('/')) {
        return mountPoint + relativePath;
    }
    return mountPoint + "/" + relativePath;
}

// A former backup in the chosen directory is named as the index records it: below the
// partition's root, by the path within the partition, so that the deletion guards look where
// the live system wrote it. Any other text stays as given (the index matches none).
QString replacedBackup(const Request& request, const Location& location) {
    const QString& target = request.replaceTarget;
    const int slash = target.lastIndexOf('/');
    if (location.mountPoint.isEmpty() || slash < 0 || target.left(slash) != request.absolutePath) {
        return target;
    }
    return joined(location.mountPoint, location.relativePath) + target.mid(slash);
}

// The directory relativePath names below root, walked down by handles, never through a link;
// -1 when some step cannot be taken.
int walkDown(int root, const QString& relativePath) {
    int fd = ::fcntl(root, F_DUPFD_CLOEXEC, 0);
    for (const QString& name : relativePath.split('/', Qt::SkipEmptyParts)) {
        const int next = fd < 0 ? -1
                                : ::openat(fd, QFile::encodeName(name).constData(),
                                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            ::close(fd);
        }
        fd = next;
    }
    return fd;
}

bool sameDirectory(int reached, const QString& directory) {
    struct stat first {};
    struct stat second {};
    return reached >= 0 && ::fstat(reached, &first) == 0 &&
           ::stat(QFile::encodeName(directory).constData(), &second) == 0 &&
           S_ISDIR(first.st_mode) && first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// Whether the partition's root, opened through a mount of it that nothing hides, and the
// relative path reach the chosen directory: a walk of its own, not the chosen path again.
bool reachesChosenDirectory(const Location& location) {
    QList<MountEntry> table;
    QString refusal;
    const int root = openRootThrough(location.mountPoint, location.mount.device, table, refusal);
    if (root < 0) {
        qWarning() << "The root of partition" << location.locationUuid
                   << "cannot be reached:" << qPrintable(refusal);
        return false;
    }
    const int reached = walkDown(root, location.relativePath);
    ::close(root);
    const bool same = sameDirectory(reached, location.directory);
    if (reached >= 0) {
        ::close(reached);
    }
    return same;
}

// The live system finds the directory only through the partition's root and the relative
// path: that pair must reach the very directory the checks looked at.
int checkPlannedPlace(const Location& location) {
    if (location.mountPoint.isEmpty()) {
        qWarning() << QObject::tr(
                          "The root of partition %1, which holds %2, is not mounted: the "
                          "backup location cannot be checked")
                          .arg(location.locationUuid, location.directory);
        return OtherError;
    }
    if (!reachesChosenDirectory(location)) {
        qWarning() << QObject::tr(
                          "The plan would name %1 (%2 on partition %3), not the chosen "
                          "directory %4")
                          .arg(joined(location.mountPoint, location.relativePath),
                               location.relativePath, location.locationUuid, location.directory);
        return OtherError;
    }
    return NoError;
}

// The used bytes of a partition; when its usage cannot be read, its whole size, so that the
// estimate errs high: a replaced backup is deleted once the plan is handed over, and a new one
// that then does not fit leaves none. -1 when not even the size can be read.
qint64 usedBytes(const ListedDevice& device) {
    const QString& node = device.node;
    const FsType type = GetFsTypeByName(device.type);
    qint64 freespace = 0;
    qint64 total = 0;
    // The readers accept whatever their tool printed; no blocks at all is no reading.
    if (ReadUsage(node, type, freespace, total) && total > 0 && freespace >= 0 &&
        freespace <= total) {
        return total - freespace;
    }
    qint64 size = 0;
    if (!Utils::getSwapPartitionSize(node, size) || size <= 0) {
        qWarning() << "Neither the usage nor the size of" << node << "can be read";
        return -1;
    }
    qWarning() << "The usage of" << node << "(" << device.type << ") cannot be read:"
               << (HasUsageReader(type) ? "its usage tool failed or gave no usable figures"
                                        : "no usage reader for this file system")
               << "; counting its whole size" << size;
    return size;
}

// Adds bytes to the estimate unless the sum leaves 64 bits: a figure no disk has (a usage
// tool or du gone wrong) would wrap the sum round to a small or negative number.
bool addToEstimate(qint64& estimate, qint64 bytes, const QString& what) {
    if (__builtin_add_overflow(estimate, bytes, &estimate)) {
        qWarning() << "The size estimate overflows when adding" << bytes << "bytes of" << what;
        return false;
    }
    return true;
}

// The bytes of a directory of the system backup: du's total, whatever its exit code (it exits
// 1 when it could not read some file); without a total, the used bytes of the file system
// holding the directory, which is never less. -1 when there is no figure or it overflows.
qint64 directoryBytes(const QString& dir) {
    quint64 blocks = 0;
    if (getDirectorySize(dir, blocks)) {
        qint64 bytes = 0;
        if (blocks > quint64(std::numeric_limits<qint64>::max()) ||
            __builtin_mul_overflow(qint64(blocks), qint64(1024), &bytes)) {
            qWarning() << "du gives" << dir << "more bytes than 64 bits hold:" << blocks
                       << "blocks of 1024 bytes";
            return -1;
        }
        return bytes;
    }
    const QStorageInfo storage(dir);
    const qint64 used = storage.isValid() ? storage.bytesTotal() - storage.bytesFree() : -1;
    if (used < 0) {
        qWarning() << "Neither du nor the file system tells the size of" << dir;
        return -1;
    }
    qWarning() << "du gave no total for" << dir << "; counting the used bytes of its file system"
               << used;
    return used;
}

// Swap is imaged whole except on amd64, where the live system leaves it out.
qint64 swapBytes(const ListedDevice& device, QString& architecture, bool& architectureRead) {
    if (!architectureRead) {
        architecture = Utils::getArchitecture();
        architectureRead = true;
    }
    if (architecture.isEmpty() || architecture.compare("amd64", Qt::CaseInsensitive) == 0) {
        return 0;
    }
    qint64 size = 0;
    if (!Utils::getSwapPartitionSize(device.node, size)) {
        return 0;
    }
    qWarning() << "ManualBackup, partitionPath = " << device.node << ", size: " << size;
    return size;
}

bool onDrive(const ListedDevice& device, const QString& drive) {
    return !drive.isEmpty() && device.drive == drive;
}

// Each returns -1 when a part of the estimate cannot be had at all.
qint64 estimateManualBackup(const Disks& disks, const Location& location) {
    qint64 estimate = 0;
    QString architecture;
    bool architectureRead = false;
    for (const ListedDevice& device : disks.devices()) {
        if (device.type.isEmpty() ||
            !(onDrive(device, location.rootDrive) || onDrive(device, location.dataDrive))) {
            continue;
        }
        const qint64 bytes = device.type == "swap"
                                 ? swapBytes(device, architecture, architectureRead)
                                 : usedBytes(device);
        if (bytes < 0 || !addToEstimate(estimate, bytes, device.node)) {
            return -1;
        }
    }
    return estimate;
}

qint64 estimateSystemBackup(const Disks& disks, const MachineValues& machine) {
    qint64 estimate = 0;
    for (const ListedDevice& device : disks.devices()) {
        const QString& uuid = device.uuid;
        if (!uuid.isEmpty() && (uuid == machine.bootUuid || uuid == machine.rootUuid)) {
            const qint64 bytes = usedBytes(device);
            if (bytes < 0 || !addToEstimate(estimate, bytes, device.node)) {
                return -1;
            }
        }
    }
    for (const char* dir : {"/opt", "/var"}) {
        const qint64 bytes = directoryBytes(dir);
        if (bytes < 0 || !addToEstimate(estimate, bytes, dir)) {
            return -1;
        }
    }
    return estimate;
}

int checkSpace(const Request& request, const MachineValues& machine, const Location& location) {
    qint64 required = request.action == ManualBackup ? estimateManualBackup(machine.disks, location)
                                                     : estimateSystemBackup(machine.disks, machine);
    if (required < 0 || !addToEstimate(required, kSpaceReserve, "the reserve")) {
        qWarning() << "The size of the backup cannot be estimated; nothing was planned";
        return OtherError;
    }
    const qint64 available = QStorageInfo(location.directory).bytesAvailable();
    if (required > available) {
        qWarning() << QObject::tr(
                          "A minimum of %2 bytes is required for backup. Free space available: "
                          "%1.")
                          .arg(available)
                          .arg(required);
        return SpaceError;
    }
    return NoError;
}

int checkFsType(const MachineValues& machine, const Location& location) {
    const QString type = backupFsType(location, machine).simplified().toLower();
    if (!SupportedBackupFsTypes.contains(type)) {
        qWarning() << QObject::tr(
                          "The file system is not supported for backup. Please select one in "
                          "ext4, btrfs, xfs, reiserfs format.")
                   << type;
        return FsError;
    }
    return NoError;
}

// Removable media are mounted below /media. Where /media or the user's directory in it is a
// link (into /run, say), the resolved directory lies below the link's target instead; links
// deeper down lead anywhere and count as what they resolve to.
bool isUnderMedia(const QString& given, const QString& resolved) {
    if (resolved.startsWith("/media")) {
        return true;
    }
    if (!isUnderMountPoint(given, "/media")) {
        return false;
    }
    const QString user = given.section('/', 0, 2);  // "/media/NAME", or "/media" itself
    for (const QString& link : {QString("/media"), user}) {
        const QString target = QFileInfo(link).canonicalFilePath();
        if (!target.isEmpty() && isUnderMountPoint(resolved, target)) {
            return true;
        }
    }
    return false;
}

// Where the directory lies (df must know it, a full backup goes to removable media under
// /media, a system backup never onto the system or into what it copies) and whether it can
// be written.
int checkPlace(const Request& request, const MachineValues& machine, const Location& location) {
    const QString& path = location.directory;
    const QString mountPoint = checkMountPoint(path);
    if (mountPoint == "PathError") {
        return PathError;
    }
    if (request.action == ManualBackup && !isUnderMedia(request.absolutePath, path)) {
        qWarning() << QObject::tr("The storage location cannot be in the source disk.");
        return LocationError;
    }
    if (request.action == SystemBackup &&
        isForbiddenSystemBackupPath(path, mountPoint, machine.dataMountPoint)) {
        qWarning() << exitCodeHelpText(BackupPathError);
        return BackupPathError;
    }
    if (Utils::isReadOnly(path)) {
        qWarning() << QObject::tr("Cannot back up data to the read-only device");
        return DeviceReadOnly;
    }
    return NoError;
}

}  // namespace

int resolveLocation(const Request& request, const MachineValues& machine, Location& location) {
    if (!request.pathSet || request.absolutePath.isEmpty() ||
        !QFileInfo(request.absolutePath).isDir()) {
        qWarning() << QObject::tr("Path not set or not exists!");
        return PathError;
    }
    location.directory = QFileInfo(request.absolutePath).canonicalFilePath();
    if (location.directory != request.absolutePath) {
        qInfo() << "The directory" << request.absolutePath << "is" << location.directory;
    }
    locate(machine, location);
    location.replaceTarget = replacedBackup(request, location);
    return NoError;
}

int checkBackupLocation(const Request& request, const MachineValues& machine, Location& location) {
    int code = checkPlace(request, machine, location);
    if (code == NoError && !location.locationUuid.isEmpty()) {
        code = checkPlannedPlace(location);
    }
    if (code == NoError) {
        code = checkFsType(machine, location);
    }
    if (code == NoError) {
        location.rootDrive = machine.disks.driveOf(machine.rootUuid);
        location.dataDrive = machine.disks.driveOf(machine.dataUuid);
        code = checkSpace(request, machine, location);
    }
    return code;
}

int checkRestoreLocation(const Location& location) {
    // The live system finds the images only on a partition it can mount by its UUID.
    if (location.locationUuid.isEmpty()) {
        qWarning() << QObject::tr(
                          "No partition holds %1 (a %2 file system): the backup cannot "
                          "be restored from there")
                          .arg(location.directory, location.mount.fsType);
        return OtherError;
    }
    return checkPlannedPlace(location);
}

QString checkMountPoint(const QString& path) {
    if (path.isEmpty()) {
        return "Error";
    }
    const QString displayName = QStorageInfo(path).displayName();
    qInfo() << "checkMountPoint, displayName = " << displayName << ", path = " << path;
    if (displayName.isEmpty()) {
        return "PathError";
    }
    QString output;
    SpawnCmd("df", {path}, output);
    return parseDfMountPoint(output);
}

QString parseDfMountPoint(const QString& dfOutput) {
    for (const QString& line : dfOutput.split('\n')) {
        const QString simplified = line.simplified();
        if (simplified.startsWith("/dev")) {
            return simplified.split(' ').last();
        }
    }
    return "Error";
}

QString redirectedPath(const QString& path, const QString& dataMountPoint) {
    for (const char* prefix : {"/home", "/root", "/var", "/opt"}) {
        if (path.startsWith(prefix)) {
            return dataMountPoint + path;
        }
    }
    return path;
}

QString pathWithinMount(const MountEntry& mount, const QString& path) {
    const QString rest = path.mid(mount.mountPoint.size());
    if (mount.root == QLatin1String("/")) {
        return rest;
    }
    return rest.isEmpty() || rest.startsWith('/') ? mount.root + rest : mount.root + "/" + rest;
}

bool isForbiddenSystemBackupPath(const QString& path, const QString& mountPoint,
                                 const QString& dataMountPoint) {
    return mountPoint == "/" || mountPoint == "/boot" || path.startsWith("/opt") ||
           path.startsWith(dataMountPoint + "/opt") || path.startsWith("/var") ||
           path.startsWith(dataMountPoint + "/var");
}
