// dumpe2fs -h output, as the ext2/3/4 usage reader takes it.
#include "fuzzcommon.h"
#include "utils/core/partitionusage/usageparsers.h"

ORVIK_FUZZ_INIT

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qint64 freespace = 0;
    qint64 total = 0;
    ParseExtUsage(fuzz::commandText(data, size), freespace, total);
    return 0;
}
