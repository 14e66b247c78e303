// reiser4.
//
//   $ debugfs.reiser4 --force --yes /dev/sdb1
//   Master super block (16):
//   blksize:	4096
//   ...
//   Format super block (17):
//   blocks:		32768
//   free blocks:	32742
//
//   freespace = free blocks * blksize, total = blocks * blksize
//
// --force lets it read a device it would otherwise refuse (mounted, say); --yes answers its
// questions, so it never waits on standard input.

#include "utils/core/command/spawncmd.h"
#include "utils/core/partitionusage/linescan.h"
#include "utils/core/partitionusage/usageparsers.h"

bool ParseReiser4Usage(const QString& out, qint64& freespace, qint64& total) {
    usage::BlockCounts counts;
    for (const QString& line : usage::Lines(out)) {
        if (line.startsWith("blksize:")) {
            counts.bs = usage::ToInt(usage::Field(line, ':', 1));
        } else if (line.startsWith("blocks:")) {
            counts.count = usage::ToInt64(usage::Field(line, ':', 1));
        } else if (line.startsWith("free blocks:")) {
            counts.free = usage::ToInt64(usage::Field(line, ':', 1));
            counts.freeSeen = true;
        }
    }
    return usage::AcceptBlockCounts(counts, freespace, total);
}

bool ReadReiser4Usage(const QString& path, qint64& freespace, qint64& total) {
    QString out;
    if (!SpawnCmd("debugfs.reiser4", {"--force", "--yes", path}, out)) {
        return false;
    }
    return ParseReiser4Usage(out, freespace, total);
}
