// Sizes as the usage tools print them ("12.5 GiB", "4096", ...).
#include "fuzzcommon.h"
#include "utils/core/partitionusage/partitionusage.h"

ORVIK_FUZZ_INIT

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ParseSizeText(fuzz::commandText(data, size));
    return 0;
}
