// dosfsck -n -v output, as the FAT usage reader takes it. First line: the device asked about; the
// rest: the tool's output.
#include "fuzzcommon.h"
#include "utils/core/partitionusage/usageparsers.h"

ORVIK_FUZZ_INIT

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QString path, output;
    fuzz::splitFirstLine(fuzz::commandText(data, size), path, output);
    qint64 freespace = 0;
    qint64 total = 0;
    ParseFatUsage(output, path, freespace, total);
    return 0;
}
