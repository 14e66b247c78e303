// reiserfs (3.x).
//
//   $ debugreiserfs -d /dev/sdb1
//   Count of blocks on the device: 32768
//   Blocksize: 4096
//   Free blocks (count of blocks - used [journal, bitmaps, data, reserved] blocks): 24556
//
//   freespace = Free blocks * Blocksize, total = Count of blocks on the device * Blocksize
//
// The free-blocks label runs on in brackets; the figure is the field after the last colon.

#include "utils/core/command/spawncmd.h"
#include "utils/core/partitionusage/linescan.h"
#include "utils/core/partitionusage/usageparsers.h"

bool ParseReiserfsUsage(const QString& out, qint64& freespace, qint64& total) {
    usage::BlockCounts counts;
    for (const QString& line : usage::Lines(out)) {
        if (line.startsWith("Count of blocks on the device:")) {
            counts.count = usage::ToInt64(usage::LastField(line, ':'));
        } else if (line.startsWith("Blocksize:")) {
            counts.bs = usage::ToInt(usage::LastField(line, ':'));
        } else if (line.startsWith("Free blocks (count of blocks")) {
            counts.free = usage::ToInt64(usage::LastField(line, ':'));
            counts.freeSeen = true;
        }
    }
    return usage::AcceptBlockCounts(counts, freespace, total);
}

bool ReadReiserfsUsage(const QString& path, qint64& freespace, qint64& total) {
    QString out;
    if (!SpawnCmd("debugreiserfs", {"-d", path}, out)) {
        return false;
    }
    return ParseReiserfsUsage(out, freespace, total);
}
