// /proc/swaps, then the swap usage lookup of every device it names.
#include "fuzzcommon.h"
#include "utils/core/partitionusage/usageparsers.h"

ORVIK_FUZZ_INIT

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QList<SwapItem> items = ParseSwapsText(fuzz::commandText(data, size));
    for (const SwapItem& item : items) {
        qint64 freespace = 0;
        qint64 total = 0;
        SwapUsageOf(items, item.filename, freespace, total);
    }
    return 0;
}
