// btrfs.
//
//   $ btrfs filesystem show /dev/sdb1
//   Label: none  uuid: f21152fb-7005-476e-b520-cf147479fff7
//   	Total devices 1 FS bytes used 144.00KiB
//   	devid    1 size 256.00MiB used 88.00MiB path /dev/sdb1
//
//   total = size of the line naming the path, freespace = total - FS bytes used
//
// The used figure is that of the whole file system, the size that of this device only. Sizes
// come rounded to two decimals in binary units (ParseSizeText).

#include "utils/core/command/spawncmd.h"
#include "utils/core/partitionusage/linescan.h"
#include "utils/core/partitionusage/usageparsers.h"

bool ParseBtrfsUsage(const QString& out, const QString& path, qint64& freespace, qint64& total) {
    QString sizeText;
    QString usedText;
    for (const QString& line : usage::Lines(out)) {
        if (line.contains(path)) {
            sizeText = CaptureFirstGroup("size\\s*([^\\s]*)\\s", line);
        } else if (line.contains("Total devices")) {
            usedText = CaptureFirstGroup("used\\s*([^\\s]*)", line);
        }
    }
    total = ParseSizeText(sizeText);
    const qint64 used = ParseSizeText(usedText);
    if (__builtin_sub_overflow(total, used, &freespace)) {
        return false;
    }
    return total >= 0 && freespace >= 0;
}

bool ReadBtrfsUsage(const QString& path, qint64& freespace, qint64& total) {
    QString out;
    if (!SpawnCmd("btrfs", {"filesystem", "show", path}, out)) {
        return false;
    }
    return ParseBtrfsUsage(out, path, freespace, total);
}
