// ext2, ext3, ext4.
//
//   $ dumpe2fs -h /dev/sdb1
//   Block count:              65536
//   Free blocks:              56023
//   Block size:               1024
//
//   freespace = Block size * Free blocks, total = Block size * Block count
//
// dumpe2fs reads the superblock counters, which a mounted ext4 leaves as they were at mount
// time (a root file system with 400 MiB written since read 53 MB used). When the device is
// mounted, the used bytes the kernel reports for it (statvfs) count when they are more, even
// beyond the total dumpe2fs gives.
// "Reserved block count:" does not match "Block count:" (capital B), so it is never taken.

#include <sys/stat.h>

#include <QFile>
#include <algorithm>

#include "platform/mounts/mounttable.h"
#include "utils/core/command/spawncmd.h"
#include "utils/core/partitionusage/linescan.h"
#include "utils/core/partitionusage/usageparsers.h"

bool ParseExtUsage(const QString& out, qint64& freespace, qint64& total) {
    qint64 count = 0;
    qint64 free = 0;
    int bs = 0;
    for (const QString& line : usage::Lines(out)) {
        if (line.contains("Block count:")) {
            usage::TakeCapture("Block count:\\s+(\\d+)", line, count);
        } else if (line.contains("Free blocks:")) {
            usage::TakeCapture("Free blocks:\\s+(\\d+)", line, free);
        } else if (line.contains("Block size:")) {
            usage::TakeCapture("Block size:\\s+(\\d+)", line, bs);
        }
    }
    // dumpe2fs succeeding is the acceptance; the values are not tested.
    return usage::Multiply(bs, free, freespace) && usage::Multiply(bs, count, total);
}

namespace {

// The device number of a block device node; 0 for anything else.
quint64 blockDeviceNumber(const QString& device) {
    struct stat node {};
    return stat(QFile::encodeName(device).constData(), &node) == 0 && S_ISBLK(node.st_mode)
               ? node.st_rdev
               : 0;
}

// Whether a mounted volume is the file system of device: by its source as the kernel names it,
// or by the device number the mount table gives. A source is never looked up: a mount of an
// image names the image file, which may lie on a share that no longer answers.
bool isVolumeOf(const MountEntry& mount, const QString& device, quint64 number) {
    return QFile::decodeName(mount.source) == device || (number != 0 && mount.device == number);
}

// Used bytes of device's file system as the kernel reports them; -1 when it is not mounted.
qint64 MountedUsedBytes(const QString& device) {
    const quint64 number = blockDeviceNumber(device);
    const QList<MountedVolume> volumes =
        mountedVolumes([&](const MountEntry& mount) { return isVolumeOf(mount, device, number); });
    return volumes.isEmpty() ? -1 : volumes.first().bytesTotal - volumes.first().bytesFree;
}

}  // namespace

bool ReadExtUsage(const QString& path, qint64& freespace, qint64& total) {
    QString out;
    if (!SpawnCmd("dumpe2fs", {"-h", path}, out) || !ParseExtUsage(out, freespace, total)) {
        return false;
    }
    // The kernel's figure stands whole, even beyond the superblock's total: the total grows
    // with it rather than cut the used bytes down to the total. No total is no reading.
    const qint64 kernelUsed = MountedUsedBytes(path);
    if (total > 0 && kernelUsed > total - freespace) {
        total = std::max(total, kernelUsed);
        freespace = total - kernelUsed;
    }
    return true;
}
