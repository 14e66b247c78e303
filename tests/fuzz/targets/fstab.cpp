// An fstab file, then the questions asked of it.
#include "utils/FsTab/fstab.h"

#include "fuzzcommon.h"

ORVIK_FUZZ_INIT

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const FSTabInfoList list = FSTab::parseFSTab(fuzz::bytes(data, size));
    const QStringList uuids = FSTab::getUUIDList(list);
    for (const QString& uuid : uuids) {
        FSTab::findByUUID(list, uuid);
    }
    FSTab::findByMountPoint(list, "/");
    QMap<QString, QString> binds;
    FSTab::getBindMap(list, binds);
    return 0;
}
