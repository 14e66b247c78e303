// blkid output, line by line as the inventory reads it.
#include "utils/utils/blkid.h"

#include "fuzzcommon.h"

ORVIK_FUZZ_INIT

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QStringList lines = fuzz::commandText(data, size).split('\n', Qt::SkipEmptyParts);
    for (const QString& rawLine : lines) {
        const QString line = rawLine.trimmed();
        if (line.contains(':')) {
            Utils::parseBlkIdLine(line);
        }
    }
    return 0;
}
