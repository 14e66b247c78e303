// du --max-depth=0 output. First line: the directory asked about; the rest: du's answer.
#include "fuzzcommon.h"
#include "utils/utils/systemqueries.h"

ORVIK_FUZZ_INIT

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QString dir, output;
    fuzz::splitFirstLine(fuzz::commandText(data, size), dir, output);
    quint64 blocks = 0;
    parseDuOutput(output, dir, blocks);
    return 0;
}
