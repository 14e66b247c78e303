// NILFS2.
//
//   $ nilfs-tune -l /dev/sdb1
//   Block size:		  4096
//   Device size:		  167772160
//   Free blocks count:	  36864
//
//   freespace = Free blocks count * Block size, total = Device size (already in bytes)
//
// nilfs-tune needs a block device; on an image file it says "cannot open NILFS".

#include "utils/core/command/spawncmd.h"
#include "utils/core/partitionusage/linescan.h"
#include "utils/core/partitionusage/usageparsers.h"

bool ParseNilfs2Usage(const QString& out, qint64& freespace, qint64& total) {
    int bs = 0;
    qint64 free = 0;
    bool freeSeen = false;
    bool sizeSeen = false;
    for (const QString& line : usage::Lines(out)) {
        if (line.startsWith("Block size:")) {
            bs = usage::ToInt(usage::LastField(line, ':'));
        } else if (line.startsWith("Device size:")) {
            total = usage::ToInt64(usage::LastField(line, ':'));
            sizeSeen = true;
        } else if (line.startsWith("Free blocks count:")) {
            free = usage::ToInt64(usage::LastField(line, ':'));
            freeSeen = true;
        }
    }
    // Without a device size the total would be whatever the caller had: refuse instead.
    const bool fits = usage::Multiply(free, bs, freespace);
    return fits && bs > 0 && freeSeen && free >= 0 && sizeSeen && total > 0;
}

bool ReadNilfs2Usage(const QString& path, qint64& freespace, qint64& total) {
    QString out;
    if (!SpawnCmd("nilfs-tune", {"-l", path}, out)) {
        return false;
    }
    return ParseNilfs2Usage(out, freespace, total);
}
