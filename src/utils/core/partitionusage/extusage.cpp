// ext2, ext3, ext4.
//
//   $ dumpe2fs -h /dev/sdb1
//   Block count:              65536
//   Free blocks:              56023
//   Block size:               1024
//
//   freespace = Block size * Free blocks, total = Block size * Block count
//
// dumpe2fs reads the superblock counters; on a mounted file system they may lag behind.
// "Reserved block count:" does not match "Block count:" (capital B), so it is never taken.

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

bool ReadExtUsage(const QString& path, qint64& freespace, qint64& total) {
    QString out;
    if (!SpawnCmd("dumpe2fs", {"-h", path}, out)) {
        return false;
    }
    return ParseExtUsage(out, freespace, total);
}
