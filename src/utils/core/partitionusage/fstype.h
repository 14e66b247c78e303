#pragma once

#include <QDebug>
#include <QString>
#include <QStringList>

// The numbers are stored and dispatched on; 17 stays unassigned.
enum FsType {
    Empty = 0,
    Btrfs = 1,
    Efi = 2,
    Ext2 = 3,
    Ext3 = 4,
    Ext4 = 5,
    F2fs = 6,
    Fat16 = 7,
    Fat32 = 8,
    Vfat = 9,
    Hfs = 10,
    HfsPlus = 11,
    Jfs = 12,
    LinuxSwap = 13,
    Lvm2Pv = 14,
    Nilfs2 = 15,
    Ntfs = 16,
    Reiser4 = 18,
    Reiserfs = 19,
    Xfs = 20,
    Recovery = 21,
    Unknown = 22,
};

// File systems a backup may be stored on, in this order.
extern const QStringList SupportedBackupFsTypes;

FsType GetFsTypeByName(const QString& name);
QString GetFsTypeName(FsType type);
QDebug operator<<(QDebug debug, FsType type);
