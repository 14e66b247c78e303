#include "utils/core/partitionusage/fstype.h"

#include <QMap>

namespace {

// Ordered by value: a name lookup takes the first row that matches. 13 (linux-swap) has no
// row because its names carry a version suffix and are matched by prefix instead.
const QMap<FsType, QString> kFsTypeNames = {
    {Empty, ""},          {Btrfs, "btrfs"},       {Efi, "efi"},       {Ext2, "ext2"},
    {Ext3, "ext3"},       {Ext4, "ext4"},         {F2fs, "f2fs"},     {Fat16, "fat16"},
    {Fat32, "fat32"},     {Vfat, "vfat"},         {Hfs, "hfs"},       {HfsPlus, "hfsplus"},
    {Jfs, "jfs"},         {Lvm2Pv, "lvm2 pv"},    {Nilfs2, "nilfs2"}, {Ntfs, "ntfs"},
    {Reiser4, "reiser4"}, {Reiserfs, "reiserfs"}, {Xfs, "xfs"},       {Recovery, "recovery"},
    {Unknown, "unknown"},
};

const QString kLinuxSwapName = QStringLiteral("linux-swap");

}  // namespace

const QStringList SupportedBackupFsTypes = {"ext4", "xfs", "btrfs", "reiserfs"};

FsType GetFsTypeByName(const QString& name) {
    const QString lower = name.toLower();
    if (lower.isEmpty() || lower == QLatin1String("unused")) {
        return Empty;
    }
    if (lower.startsWith(kLinuxSwapName)) {
        return LinuxSwap;
    }
    for (auto it = kFsTypeNames.cbegin(); it != kFsTypeNames.cend(); ++it) {
        if (it.value() == lower) {
            return it.key();
        }
    }
    return Unknown;
}

QString GetFsTypeName(FsType type) {
    if (type == LinuxSwap) {
        return kLinuxSwapName;
    }
    return kFsTypeNames.value(type);
}

QDebug operator<<(QDebug debug, FsType type) {
    debug << GetFsTypeName(type);
    return debug;
}
