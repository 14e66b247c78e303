// The kernel command line of a live or installed system.
#include "utils/utils/cmdline.h"

#include "fuzzcommon.h"

ORVIK_FUZZ_INIT

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString cmdline = fuzz::fileText(data, size);
    // No by-uuid directory: links are not followed, only the text is read.
    const QString byUuid = "/nonexistent/orvik-fuzz/by-uuid";
    Utils::CmdLineInfo info;
    Utils::parseCmdLineInfo(cmdline, info, byUuid);
    QString rootUuid, bootType;
    Utils::parseLiveRootUUIDAndBootType(cmdline, rootUuid, bootType, byUuid);
    return 0;
}
