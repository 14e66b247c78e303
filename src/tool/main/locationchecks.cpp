#include "tool/main/locationchecks.h"

#include <QDebug>
#include <QFileInfo>
#include <QStorageInfo>
#include <algorithm>
#include <limits>

#include "utils/core/command/spawncmd.h"
#include "utils/core/mounts/mounttable.h"
#include "utils/core/partitionusage/fstype.h"
#include "utils/core/partitionusage/partitionusage.h"
#include "utils/utils/systemqueries.h"

namespace {

QStringList mountedRoots() {
    QStringList roots;
    for (const MountedVolume& volume : mountedVolumes()) {
        roots << volume.mount.mountPoint;
    }
    return roots;
}

// The file-system type of the device holding the path, as the disk service names it; "/" and
// "/boot" never select one, since no backup may lie on the system partitions.
QString fsTypeOfPath(const Disks& disks, const QString& path) {
    const ListedDevice* device = disks.holding(path, {"/", "/boot"});
    return device ? device->type : QString();
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

// The bytes of a directory of the system backup: du's total, whatever its exit code (it exits
// 1 when it could not read some file); without a total, the used bytes of the file system
// holding the directory, which is never less.
qint64 directoryBytes(const QString& dir) {
    quint64 blocks = 0;
    if (getDirectorySize(dir, blocks)) {
        // du counts 1024-byte blocks. A figure beyond 2 EiB is no real directory; it stays
        // huge (and the sum positive) rather than wrap round to a small number.
        const quint64 limit = std::numeric_limits<qint64>::max() / 4 / 1024;
        return static_cast<qint64>(std::min(blocks, limit) * 1024);
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
        if (bytes < 0) {
            return -1;
        }
        estimate += bytes;
    }
    return estimate;
}

qint64 estimateSystemBackup(const Disks& disks, const MachineValues& machine) {
    qint64 estimate = 0;
    for (const ListedDevice& device : disks.devices()) {
        const QString& uuid = device.uuid;
        if (!uuid.isEmpty() && (uuid == machine.bootUuid || uuid == machine.rootUuid)) {
            const qint64 bytes = usedBytes(device);
            if (bytes < 0) {
                return -1;
            }
            estimate += bytes;
        }
    }
    for (const char* dir : {"/opt", "/var"}) {
        const qint64 bytes = directoryBytes(dir);
        if (bytes < 0) {
            return -1;
        }
        estimate += bytes;
    }
    return estimate;
}

int checkSpace(const Request& request, const MachineValues& machine, const Location& location) {
    const qint64 estimate = request.action == ManualBackup
                                ? estimateManualBackup(machine.disks, location)
                                : estimateSystemBackup(machine.disks, machine);
    if (estimate < 0) {
        qWarning() << "The size of the backup cannot be estimated; nothing was planned";
        return OtherError;
    }
    const qint64 required = estimate + kSpaceReserve;
    const qint64 available = QStorageInfo(request.absolutePath).bytesAvailable();
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

int checkFsType(const Request& request, const MachineValues& machine) {
    const QString type = fsTypeOfPath(machine.disks, request.absolutePath).simplified().toLower();
    if (!SupportedBackupFsTypes.contains(type)) {
        qWarning() << QObject::tr(
                          "The file system is not supported for backup. Please select one in "
                          "ext4, btrfs, xfs, reiserfs format.")
                   << type;
        return FsError;
    }
    return NoError;
}

// Where the directory lies (df must know it, a full backup goes to removable media under
// /media, a system backup never onto the system or into what it copies) and whether it can
// be written.
int checkPlace(const Request& request, const MachineValues& machine) {
    const QString& path = request.absolutePath;
    const QString mountPoint = checkMountPoint(path);
    if (mountPoint == "PathError") {
        return PathError;
    }
    if (request.action == ManualBackup && !path.startsWith("/media")) {
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
    QString redirected;
    const QString root =
        findLocationRoot(request.absolutePath, machine.dataMountPoint, mountedRoots(), redirected);
    location.relativePath = redirected.mid(root.size());
    // The root is a directory: the partition mounted there, none for a memory file system.
    location.locationUuid = machine.disks.uuidMountedAt(root);
    return NoError;
}

int checkBackupLocation(const Request& request, const MachineValues& machine, Location& location) {
    int code = checkPlace(request, machine);
    if (code == NoError) {
        code = checkFsType(request, machine);
    }
    if (code == NoError) {
        location.rootDrive = machine.disks.driveOf(machine.rootUuid);
        location.dataDrive = machine.disks.driveOf(machine.dataUuid);
        code = checkSpace(request, machine, location);
    }
    return code;
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

QString findLocationRoot(const QString& path, const QString& dataMountPoint,
                         const QStringList& mountRoots, QString& redirected) {
    redirected = path;
    for (const char* prefix : {"/home", "/root", "/var", "/opt"}) {
        if (path.startsWith(prefix)) {
            redirected = dataMountPoint + path;
            break;
        }
    }
    // The deepest root holding the path: /media/user/disk2 does not lie on /media/user/disk.
    QString found;
    for (const QString& root : mountRoots) {
        if (root.size() > found.size() && isUnderMountPoint(redirected, root)) {
            found = root;
        }
    }
    return found;
}

bool isForbiddenSystemBackupPath(const QString& path, const QString& mountPoint,
                                 const QString& dataMountPoint) {
    return mountPoint == "/" || mountPoint == "/boot" || path.startsWith("/opt") ||
           path.startsWith(dataMountPoint + "/opt") || path.startsWith("/var") ||
           path.startsWith(dataMountPoint + "/var");
}
