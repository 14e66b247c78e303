// lsblk --pairs output into the device inventory, then the relations built on top of it.
#include "fuzzcommon.h"
#include "utils/Device/device.h"

ORVIK_FUZZ_INIT

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    DeviceInfoList list = Device::parseLsblkOutput(fuzz::commandText(data, size));
    // The tree links parents and children by name: whatever names lsblk printed must not
    // make it loop or dangle.
    DeviceInfoList disks, luks, lvmParts, plainParts, logicalVolumes, cryptVolumes;
    Device::classifyDeviceList(list, disks, luks, lvmParts, plainParts, logicalVolumes,
                               cryptVolumes);
    Device::linkDeviceTree(disks, luks, lvmParts, plainParts, logicalVolumes, cryptVolumes);
    bool encrypted = false;
    bool fileManagerEncrypted = false;
    QStringList uuids;
    for (const DeviceInfoPtr& info : list) {
        uuids.append(info->uuid);
    }
    Device::isLvmOnList(list, uuids, encrypted, fileManagerEncrypted);
    for (const DeviceInfoPtr& info : list) {
        info->children.clear();  // break the parent/child cycles so nothing leaks
    }
    return 0;
}
