// XFS.
//
//   $ xfs_db -c sb -c print -r /dev/sdb1
//   blocksize = 4096
//   dblocks = 76800
//   ...
//   fdblocks = 60384
//
//   freespace = blocksize * fdblocks, total = blocksize * dblocks
//
// "fdblocks" must be tried before "dblocks", which it contains. Each option and its command
// travel as one argument ("-c sb"); xfs_db takes the command after the blank. -r opens the
// device read-only, so a mounted file system can be read.

#include "utils/core/command/spawncmd.h"
#include "utils/core/partitionusage/linescan.h"
#include "utils/core/partitionusage/usageparsers.h"

bool ParseXfsUsage(const QString& out, qint64& freespace, qint64& total) {
    usage::BlockCounts counts;
    for (const QString& line : usage::Lines(out)) {
        if (line.contains("fdblocks")) {
            counts.free = usage::ToInt64(usage::LastField(line, '='));
            counts.freeSeen = true;
        } else if (line.contains("dblocks")) {
            counts.count = usage::ToInt64(usage::LastField(line, '='));
        } else if (line.contains("blocksize")) {
            counts.bs = usage::ToInt(usage::LastField(line, '='));
        }
    }
    return !out.isEmpty() && usage::AcceptBlockCounts(counts, freespace, total);
}

bool ReadXfsUsage(const QString& path, qint64& freespace, qint64& total) {
    QString out;
    if (!SpawnCmd("xfs_db", {"-c sb", "-c print", "-r", path}, out)) {
        return false;
    }
    return ParseXfsUsage(out, freespace, total);
}
