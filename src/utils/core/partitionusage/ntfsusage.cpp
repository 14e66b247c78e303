// NTFS.
//
//   $ ntfsinfo -mf /dev/sdb1
//   	Cluster Size: 4096
//   	Volume Size in Clusters: 16383
//   	...
//   	Free Clusters: 15758 (96.2%)
//
//   freespace = Free Clusters * Cluster Size, total = Volume Size in Clusters * Cluster Size
//
// -f forces the read of a volume marked dirty or hibernated; -m prints only the volume summary.

#include "utils/core/command/spawncmd.h"
#include "utils/core/partitionusage/linescan.h"
#include "utils/core/partitionusage/usageparsers.h"

bool ParseNtfsUsage(const QString& out, qint64& freespace, qint64& total) {
    usage::BlockCounts counts;
    for (const QString& line : usage::Lines(out)) {
        if (line.contains("Cluster Size:")) {
            usage::TakeCapture("Cluster Size:\\s+(\\d+)", line, counts.bs);
        } else if (line.contains("Volume Size in Clusters:")) {
            usage::TakeCapture("Volume Size in Clusters:\\s+(\\d+)", line, counts.count);
        } else if (line.contains("Free Clusters:")) {
            if (usage::TakeCapture("Free Clusters:\\s+(\\d+)", line, counts.free)) {
                counts.freeSeen = true;
            }
        }
    }
    return usage::AcceptBlockCounts(counts, freespace, total);
}

bool ReadNtfsUsage(const QString& path, qint64& freespace, qint64& total) {
    QString out;
    if (!SpawnCmd("ntfsinfo", {"-mf", path}, out)) {
        return false;
    }
    return ParseNtfsUsage(out, freespace, total);
}
