// The stat file of a process under /proc (its command name may hold any bytes).
#include "fuzzcommon.h"
#include "utils/utils/systemqueries.h"

ORVIK_FUZZ_INIT

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Utils::parseProcessStatName(fuzz::commandText(data, size));
    return 0;
}
