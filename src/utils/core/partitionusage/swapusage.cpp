// Swap areas, from the kernel's list of active ones.
//
//   $ cat /proc/swaps
//   Filename				Type		Size		Used		Priority
//   /dev/sda3                               partition	8388604		0		-2
//
//   total = Size, freespace = Size - Used   (Size and Used are KiB; they are taken times 1000)
//
// Paths with blanks show as \040 in this file, so a line always splits into five columns.

#include <QRegularExpression>

#include "utils/core/partitionusage/linescan.h"
#include "utils/core/partitionusage/usageparsers.h"

namespace {

const char kProcSwaps[] = "/proc/swaps";

}  // namespace

QList<SwapItem> ParseSwapsText(const QString& text) {
    static const QRegularExpression blanks("\\s+");
    QList<SwapItem> items;
    for (const QString& line : usage::Lines(text)) {
        if (line.isEmpty() || line.startsWith("Filename")) {
            continue;
        }
        const QStringList parts = line.split(blanks);
        if (parts.size() != 5) {
            continue;
        }
        SwapItem item;
        item.filename = parts[0];
        item.type = parts[1] == QLatin1String("partition") ? 0 : 1;
        item.priority = usage::ToInt(parts[4]);
        // The kernel writes KiB; the figures are kept times 1000 as the callers expect.
        if (usage::Multiply(usage::ToInt64(parts[2]), 1000, item.size) &&
            usage::Multiply(usage::ToInt64(parts[3]), 1000, item.used)) {
            items.append(item);
        }
    }
    return items;
}

void SwapUsageOf(const QList<SwapItem>& items, const QString& path, qint64& freespace,
                 qint64& total) {
    total = 0;
    freespace = 0;
    for (const SwapItem& item : items) {
        if (item.filename == path) {
            total = item.size;
            if (__builtin_sub_overflow(item.size, item.used, &freespace)) {
                freespace = 0;
            }
            return;
        }
    }
}

QList<SwapItem> ParseSwaps() {
    return ParseSwapsText(ReadFile(kProcSwaps));
}

bool ReadSwapUsage(const QString& path, qint64& freespace, qint64& total) {
    SwapUsageOf(ParseSwaps(), path, freespace, total);
    return true;
}
