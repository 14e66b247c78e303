// savePath.json: read from disk, then the index walks of the planner and the backup history.
#include "fuzzcommon.h"
#include "jsonfile.h"
#include "tool/main/taskfile.h"
#include "utils/utils/backuphistory.h"
#include "utils/utils/systemqueries.h"

ORVIK_FUZZ_INIT

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!fuzz::writeScratch(fuzz::bytes(data, size))) {
        return 0;
    }
    const QJsonObject index = Utils::readJsonFile(fuzz::scratchJsonPath());
    QList<BackupFileInfo> list;
    for (auto it = index.begin(); it != index.end(); ++it) {
        const QJsonObject locationIndex = it.value().toObject();
        // A mount point that does not exist: the walk reads the index, finds no directory.
        Utils::appendPartitionBackups(list, it.key(), "/nonexistent/orvik-fuzz", locationIndex);
        for (auto entry = locationIndex.begin(); entry != locationIndex.end(); ++entry) {
            findRecordedBackupKey(locationIndex, "/data", "/data" + entry.value().toString());
        }
    }
    Utils::sortBackupsNewestFirst(list);
    return 0;
}
