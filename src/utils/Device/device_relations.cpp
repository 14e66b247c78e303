// How the inventory's records hang together (disk, LUKS container, mapping, physical volume,
// logical volume) and the questions asked of that: LVM, encryption, system disks.

#include <QSet>
#include <algorithm>

#include "utils/Device/device.h"
#include "utils/Device/device_p.h"

namespace {

// The six category lists of one inventory, in the order classifyDevices hands them out.
struct Categories {
    DeviceInfoList disks;
    DeviceInfoList luksDevices;
    DeviceInfoList lvmPhysicalParts;
    DeviceInfoList plainParts;
    DeviceInfoList logicalVolumes;
    DeviceInfoList cryptVolumes;
};

Categories classified(const DeviceInfoList& inventory) {
    Categories c;
    Device::classifyDeviceList(inventory, c.disks, c.luksDevices, c.lvmPhysicalParts, c.plainParts,
                               c.logicalVolumes, c.cryptVolumes);
    return c;
}

bool isLuksPartition(const DeviceInfo& info) {
    return info.type == "part" && info.fsType == "luks";
}

bool isLvmMapping(const DeviceInfo& info) {
    return info.type == "crypt" && info.fsType == "lvm2";
}

// An empty UUID names no device, whatever the list holds.
bool hasListedUuid(const DeviceInfo& info, const QStringList& uuids) {
    return !info.uuid.isEmpty() && uuids.contains(info.uuid);
}

// The candidates that name parentName as their parent (pkname).
DeviceInfoList childrenOf(const DeviceInfoList& candidates, const QString& parentName) {
    DeviceInfoList result;
    for (const DeviceInfoPtr& info : candidates) {
        if (info->pkname == parentName) {
            result.append(info);
        }
    }
    return result;
}

void sortChildren(DeviceInfo& parent) {
    if (parent.children.size() <= 1) {
        return;
    }
    std::stable_sort(parent.children.begin(), parent.children.end(),
                     [](const DeviceInfoPtr& a, const DeviceInfoPtr& b) {
                         return a->major != b->major ? a->major < b->major : a->minor < b->minor;
                     });
}

void adopt(const DeviceInfoPtr& parent, const DeviceInfoPtr& child) {
    child->parent = parent;
    parent->children.append(child);
}

// A physical volume (partition or LUKS mapping) and the logical volumes on it.
void linkVolumeGroupMember(const DeviceInfoPtr& member, const DeviceInfoList& logicalVolumes) {
    for (const DeviceInfoPtr& volume : childrenOf(logicalVolumes, member->kname)) {
        adopt(member, volume);
    }
    sortChildren(*member);
}

void linkLuksPartition(const DeviceInfoPtr& disk, const DeviceInfoPtr& luks, const Categories& c) {
    luks->parent = disk;
    for (const DeviceInfoPtr& crypt : childrenOf(c.cryptVolumes, luks->kname)) {
        if (crypt->type == "crypt" && crypt->fsType != "lvm2") {
            adopt(luks, crypt);
        }
    }
    for (const DeviceInfoPtr& mapping : childrenOf(c.luksDevices, luks->kname)) {
        if (isLvmMapping(*mapping)) {
            mapping->parent = luks;
            linkVolumeGroupMember(mapping, c.logicalVolumes);
            luks->children.append(mapping);
        }
    }
    disk->children.append(luks);
}

void linkDisk(const DeviceInfoPtr& disk, const Categories& c) {
    for (const DeviceInfoPtr& luks : childrenOf(c.luksDevices, disk->name)) {
        if (isLuksPartition(*luks)) {
            linkLuksPartition(disk, luks, c);
        }
    }
    for (const DeviceInfoPtr& physical : childrenOf(c.lvmPhysicalParts, disk->name)) {
        physical->parent = disk;
        linkVolumeGroupMember(physical, c.logicalVolumes);
        disk->children.append(physical);
    }
    for (const DeviceInfoPtr& plain : childrenOf(c.plainParts, disk->name)) {
        adopt(disk, plain);
    }
    sortChildren(*disk);
}

bool anyVolumeListed(const DeviceInfoList& volumes, const QStringList& uuids) {
    return std::any_of(volumes.cbegin(), volumes.cend(),
                       [&uuids](const DeviceInfoPtr& v) { return hasListedUuid(*v, uuids); });
}

// Disk -> LUKS partition -> LVM-holding mapping -> logical volume listed in uuids.
bool diskHasListedLuksVolume(const DeviceInfo& disk, const Categories& c,
                             const QStringList& uuids) {
    for (const DeviceInfoPtr& luks : childrenOf(c.luksDevices, disk.name)) {
        if (!isLuksPartition(*luks)) {
            continue;
        }
        for (const DeviceInfoPtr& mapping : childrenOf(c.luksDevices, luks->kname)) {
            if (isLvmMapping(*mapping) &&
                anyVolumeListed(childrenOf(c.logicalVolumes, mapping->kname), uuids)) {
                return true;
            }
        }
    }
    return false;
}

bool diskHasListedPhysicalVolume(const DeviceInfo& disk, const Categories& c,
                                 const QStringList& uuids) {
    for (const DeviceInfoPtr& physical : childrenOf(c.lvmPhysicalParts, disk.name)) {
        if (anyVolumeListed(childrenOf(c.logicalVolumes, physical->kname), uuids)) {
            return true;
        }
    }
    return false;
}

bool carriesSystem(const DeviceInfo& disk, const Categories& c, const QStringList& uuids) {
    return diskHasListedLuksVolume(disk, c, uuids) || diskHasListedPhysicalVolume(disk, c, uuids) ||
           anyVolumeListed(childrenOf(c.plainParts, disk.name), uuids);
}

}  // namespace

void Device::classifyDevices(DeviceInfoList& disks, DeviceInfoList& luksDevices,
                             DeviceInfoList& lvmPhysicalParts, DeviceInfoList& plainParts,
                             DeviceInfoList& logicalVolumes, DeviceInfoList& cryptVolumes) {
    classifyDeviceList(createDeviceList(), disks, luksDevices, lvmPhysicalParts, plainParts,
                       logicalVolumes, cryptVolumes);
}

void Device::classifyDeviceList(const DeviceInfoList& inventory, DeviceInfoList& disks,
                                DeviceInfoList& luksDevices, DeviceInfoList& lvmPhysicalParts,
                                DeviceInfoList& plainParts, DeviceInfoList& logicalVolumes,
                                DeviceInfoList& cryptVolumes) {
    for (DeviceInfoList* list :
         {&disks, &luksDevices, &lvmPhysicalParts, &plainParts, &logicalVolumes, &cryptVolumes}) {
        list->clear();
    }
    for (const DeviceInfoPtr& info : inventory) {
        if (info->type == "disk") {
            disks.append(info);
        } else if (isLuksPartition(*info) || isLvmMapping(*info)) {
            luksDevices.append(info);
        } else if (info->type == "part" && info->fsType == "lvm2") {
            lvmPhysicalParts.append(info);
        } else if (info->type == "part") {
            plainParts.append(info);
        } else if (info->type == "lvm") {
            logicalVolumes.append(info);
        } else if (info->type == "crypt") {
            cryptVolumes.append(info);
        }
    }
}

DeviceInfoList Device::linkDeviceTree(DeviceInfoList& disks, DeviceInfoList& luksDevices,
                                      DeviceInfoList& lvmPhysicalParts, DeviceInfoList& plainParts,
                                      DeviceInfoList& logicalVolumes,
                                      DeviceInfoList& cryptVolumes) {
    const Categories c{disks,      luksDevices,    lvmPhysicalParts,
                       plainParts, logicalVolumes, cryptVolumes};
    for (const DeviceInfoPtr& disk : qAsConst(disks)) {
        linkDisk(disk, c);
    }
    return disks;
}

bool Device::isLvm(const QStringList& uuids, bool& isEncrypted, bool& isFileManagerEncrypted) {
    return isLvmOnList(createDeviceList(), uuids, isEncrypted, isFileManagerEncrypted);
}

bool Device::isLvmOnList(const DeviceInfoList& inventory, const QStringList& uuids,
                         bool& isEncrypted, bool& isFileManagerEncrypted) {
    isEncrypted = false;
    isFileManagerEncrypted = false;
    bool onLvm = false;
    QSet<QString> found;
    Categories c = classified(inventory);
    linkDeviceTree(c.disks, c.luksDevices, c.lvmPhysicalParts, c.plainParts, c.logicalVolumes,
                   c.cryptVolumes);

    for (const DeviceInfoPtr& volume : qAsConst(c.logicalVolumes)) {
        if (!hasListedUuid(*volume, uuids)) {
            continue;
        }
        found.insert(volume->uuid);
        onLvm = true;
        const DeviceInfoPtr parent = volume->parent.toStrongRef();
        if (!isEncrypted && !parent.isNull() && isLvmMapping(*parent)) {
            isEncrypted = true;
        }
    }
    for (const DeviceInfoPtr& crypt : qAsConst(c.cryptVolumes)) {
        if (hasListedUuid(*crypt, uuids)) {
            isFileManagerEncrypted = true;
            isEncrypted = true;
            return onLvm;
        }
    }
    if (c.luksDevices.isEmpty()) {
        return onLvm;
    }
    for (const DeviceInfoPtr& plain : qAsConst(c.plainParts)) {
        if (hasListedUuid(*plain, uuids)) {
            found.insert(plain->uuid);
        }
    }
    // With LUKS containers around, a system UUID seen nowhere outside them sits inside one.
    if (!found.isEmpty() && found.size() < uuids.size()) {
        isFileManagerEncrypted = true;
        isEncrypted = true;
    }
    return onLvm;
}

QStringList Device::getSystemDiskNames(const QString& fstabFile) {
    static const QStringList fstabUuids = FSTab::getUUIDList(FSTab::getFSTabFromFile(fstabFile));
    return systemDiskNamesOnList(createDeviceList(), fstabUuids);
}

QStringList Device::systemDiskNamesOnList(const DeviceInfoList& inventory,
                                          const QStringList& fstabUuids) {
    const Categories c = classified(inventory);
    QStringList names;
    for (const DeviceInfoPtr& disk : c.disks) {
        if (carriesSystem(*disk, c, fstabUuids)) {
            names.append(disk->name);
        }
    }
    names.removeDuplicates();
    return names;
}

bool Device::isEncryptedLvmOnMultipleDisks(const QString& fstabFile) {
    static const FSTabInfoList fstab = FSTab::getFSTabFromFile(fstabFile);
    // Answered from the fstab alone when possible, without listing devices.
    if (DevicePrivate::bindSourceDirectories(fstab).size() != 1) {
        return false;
    }
    return encryptedLvmOnMultipleDisksOnList(createDeviceList(), fstab);
}

bool Device::encryptedLvmOnMultipleDisksOnList(const DeviceInfoList& inventory,
                                               const FSTabInfoList& fstab) {
    if (DevicePrivate::bindSourceDirectories(fstab).size() != 1) {
        return false;
    }
    const QStringList uuids = FSTab::getUUIDList(fstab);
    const Categories c = classified(inventory);
    QStringList names;
    for (const DeviceInfoPtr& disk : c.disks) {
        if (diskHasListedLuksVolume(*disk, c, uuids) && !names.contains(disk->name)) {
            names.append(disk->name);
        }
    }
    return names.size() > 1;
}
