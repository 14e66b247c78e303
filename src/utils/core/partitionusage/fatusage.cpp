// FAT (efi, fat16, fat32, vfat).
//
//   $ dosfsck -n -v /dev/sdb1
//         2048 bytes per cluster
//   Data area starts at byte 149504 (sector 292)
//   /dev/sdb1: 0 files, 0/32695 clusters
//
//   total = bytes per cluster * clusters
//   freespace = total - data area start - bytes per cluster * used clusters
//
// dosfsck's exit code says whether the file system is clean, not whether it could be read, so
// it is not looked at; anything on standard error means the check itself failed.

#include <QDebug>

#include "utils/core/command/spawncmd.h"
#include "utils/core/partitionusage/linescan.h"
#include "utils/core/partitionusage/usageparsers.h"

namespace {

struct FatCounts {
    int bs = 0;
    qint64 dataStart = 0;
    qint64 usedClusters = 0;
    qint64 clusters = 0;
};

void ScanFatLine(const QString& line, const QString& path, FatCounts& counts) {
    if (line.contains("bytes per cluster")) {
        counts.bs = usage::ToInt(usage::Field(line.trimmed(), ' ', 0));
    } else if (line.contains("Data area starts at")) {
        counts.dataStart = usage::ToInt64(usage::Field(line, ' ', 5));
    } else if (line.contains(path)) {
        // "<path>: <n> files, <used>/<clusters> clusters"
        const QString pair = usage::Field(line, ' ', 3);
        counts.usedClusters = usage::ToInt64(usage::Field(pair, '/', 0));
        counts.clusters = usage::ToInt64(usage::Field(pair, '/', 1));
    }
}

}  // namespace

bool ParseFatUsage(const QString& out, const QString& path, qint64& freespace, qint64& total) {
    FatCounts counts;
    for (const QString& line : usage::Lines(out)) {
        ScanFatLine(line, path, counts);
    }
    qint64 usedBytes = 0;
    if (!usage::Multiply(counts.bs, counts.clusters, total) ||
        !usage::Multiply(counts.bs, counts.usedClusters, usedBytes) ||
        __builtin_sub_overflow(total, counts.dataStart, &freespace) ||
        __builtin_sub_overflow(freespace, usedBytes, &freespace)) {
        return false;
    }
    // Without a cluster size and a cluster count nothing was read (dosfsck may not have run).
    return counts.bs > 0 && counts.clusters > 0;
}

bool ReadFat16Usage(const QString& path, qint64& freespace, qint64& total) {
    QString out;
    QString error;
    SpawnCmd("dosfsck", {"-n", "-v", path}, out, error);
    if (!error.isEmpty()) {
        qWarning() << "dosfsck failed:" << error;
        return false;
    }
    return ParseFatUsage(out, path, freespace, total);
}
