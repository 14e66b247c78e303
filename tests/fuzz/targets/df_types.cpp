// df -T -B1 output.
#include "fuzzcommon.h"
#include "utils/Device/device.h"

ORVIK_FUZZ_INIT

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Device::parseDfOutput(fuzz::commandText(data, size));
    return 0;
}
