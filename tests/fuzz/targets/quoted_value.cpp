// KEY="value" lookups. First line: the key; the rest: the text searched.
#include "fuzzcommon.h"
#include "utils/utils/blkid.h"

ORVIK_FUZZ_INIT

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QString key, text;
    fuzz::splitFirstLine(fuzz::commandText(data, size), key, text);
    Utils::extractQuotedValue(text, key);
    return 0;
}
