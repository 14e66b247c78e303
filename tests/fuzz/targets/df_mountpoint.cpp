// Plain df output, as the location checks read the mount point of a backup directory.
#include "fuzzcommon.h"
#include "tool/main/locationchecks.h"

ORVIK_FUZZ_INIT

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    parseDfMountPoint(fuzz::commandText(data, size));
    return 0;
}
