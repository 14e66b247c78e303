// lsblk --bytes --output PATH,SIZE. First line: the path asked about; the rest: lsblk's answer.
#include "fuzzcommon.h"
#include "utils/utils/systemqueries.h"

ORVIK_FUZZ_INIT

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QString path, output;
    fuzz::splitFirstLine(fuzz::commandText(data, size), path, output);
    Utils::parseSwapPartitionSize(output, path);
    return 0;
}
