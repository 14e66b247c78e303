// ntfsinfo -mf output, as the NTFS usage reader takes it.
#include "fuzzcommon.h"
#include "utils/core/partitionusage/usageparsers.h"

ORVIK_FUZZ_INIT

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qint64 freespace = 0;
    qint64 total = 0;
    ParseNtfsUsage(fuzz::commandText(data, size), freespace, total);
    return 0;
}
