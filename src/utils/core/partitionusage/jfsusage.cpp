// JFS.
//
//   $ printf 'dm\nx\nq\n' | jfs_debugfs /dev/sdb1
//   Aggregate Block Size: 4096
//   > Block allocation map control page at block 16
//   [1] dn_mapsize:		0x00000003ecc	[9] dn_agheigth:	0
//   [2] dn_nfree:		0x00000003ea9	[10] dn_agwidth:	1
//
//   freespace = dn_nfree * Aggregate Block Size, total = dn_mapsize * Aggregate Block Size
//   (both counts are hexadecimal)
//
// jfs_debugfs is interactive: "dm" shows the block map, "x" leaves that display, "q" quits.
// Given only "dm", it loops at the display prompt once its input ends and prints without end,
// so the leaving commands must follow. The device path goes to it as an argument, never
// through a shell. dn_mapsize counts the blocks of the map, which leaves out the in-line log
// and the fsck work area at the end of the aggregate.

#include "utils/core/partitionusage/linescan.h"
#include "utils/core/partitionusage/stdinspawn.h"
#include "utils/core/partitionusage/usageparsers.h"

namespace {

// Base 16, with or without a leading 0x; anything else reads as 0.
qint64 HexToInt64(QString text) {
    if (text.startsWith("0x", Qt::CaseInsensitive)) {
        text.remove(0, 2);
    }
    return text.toLongLong(nullptr, 16);
}

}  // namespace

bool ParseJfsUsage(const QString& out, qint64& freespace, qint64& total) {
    usage::BlockCounts counts;
    for (const QString& line : usage::Lines(out)) {
        if (line.startsWith("Aggregate Block Size:")) {
            counts.bs = usage::ToInt(usage::Field(line, ':', 1));
        } else if (line.contains("dn_mapsize:")) {
            counts.count = HexToInt64(CaptureFirstGroup("dn_mapsize:\\s*([^\\s]+)", line));
        } else if (line.contains("dn_nfree:")) {
            counts.free = HexToInt64(CaptureFirstGroup("dn_nfree:\\s*([^\\s]+)", line));
            counts.freeSeen = true;
        }
    }
    return usage::AcceptBlockCounts(counts, freespace, total);
}

bool ReadJfsUsage(const QString& path, qint64& freespace, qint64& total) {
    QString out;
    QString error;
    if (!SpawnCmdWithInput("jfs_debugfs", {path}, "dm\nx\nq\n", out, error)) {
        return false;
    }
    return ParseJfsUsage(out, freespace, total);
}
