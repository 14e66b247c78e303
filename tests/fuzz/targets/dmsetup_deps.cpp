// dmsetup deps output, applied to an inventory as the device list does.
#include "fuzzcommon.h"
#include "utils/Device/device.h"

ORVIK_FUZZ_INIT

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QList<DmDependency> deps = Device::parseDmDeps(fuzz::commandText(data, size));
    DeviceInfoList list;
    for (const DmDependency& dep : deps) {
        DeviceInfoPtr info(new DeviceInfo);
        info->name = dep.mapperName;
        info->kname = dep.dependency;
        info->type = "crypt";
        list.append(info);
    }
    Device::applyDmDependencies(list, deps);
    return 0;
}
