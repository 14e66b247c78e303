#include <QtTest>

#include "utils/core/partitionusage/fstype.h"

Q_DECLARE_METATYPE(FsType)

class FsTypeTest : public QObject {
    Q_OBJECT

private slots:
    void byName_data();
    void byName();
    void name_data();
    void name();
    void roundTrip();
    void supportedBackupFsTypes();
    void debugStreamWritesTheName();
};

void FsTypeTest::byName_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<FsType>("expected");

    QTest::newRow("empty") << "" << Empty;
    QTest::newRow("null") << QString() << Empty;
    QTest::newRow("unused") << "unused" << Empty;
    QTest::newRow("UNUSED") << "UNUSED" << Empty;
    QTest::newRow("linux-swap") << "linux-swap" << LinuxSwap;
    QTest::newRow("linux-swap(v1)") << "linux-swap(v1)" << LinuxSwap;
    QTest::newRow("Linux-Swap") << "Linux-Swap" << LinuxSwap;
    QTest::newRow("swap alone") << "swap" << Unknown;
    QTest::newRow("btrfs") << "btrfs" << Btrfs;
    QTest::newRow("Btrfs") << "Btrfs" << Btrfs;
    QTest::newRow("btrfs and a blank") << "btrfs " << Unknown;
    QTest::newRow("blank and btrfs") << " btrfs" << Unknown;
    QTest::newRow("EXT4") << "EXT4" << Ext4;
    QTest::newRow("Ext4") << "Ext4" << Ext4;
    QTest::newRow("ext2") << "ext2" << Ext2;
    QTest::newRow("ext3") << "ext3" << Ext3;
    QTest::newRow("vfat is not a FAT size") << "vfat" << Vfat;
    QTest::newRow("fat16") << "fat16" << Fat16;
    QTest::newRow("FAT32") << "FAT32" << Fat32;
    QTest::newRow("efi") << "efi" << Efi;
    QTest::newRow("lvm2 pv") << "lvm2 pv" << Lvm2Pv;
    QTest::newRow("lvm2pv without its blank") << "lvm2pv" << Unknown;
    QTest::newRow("LVM2_member") << "LVM2_member" << Unknown;
    QTest::newRow("hfs") << "hfs" << Hfs;
    QTest::newRow("HFSPlus") << "HFSPlus" << HfsPlus;
    QTest::newRow("jfs") << "jfs" << Jfs;
    QTest::newRow("nilfs2") << "nilfs2" << Nilfs2;
    QTest::newRow("ntfs") << "ntfs" << Ntfs;
    QTest::newRow("ntfs-3g") << "ntfs-3g" << Unknown;
    QTest::newRow("reiser4") << "reiser4" << Reiser4;
    QTest::newRow("ReiserFS") << "ReiserFS" << Reiserfs;
    QTest::newRow("xfs") << "xfs" << Xfs;
    QTest::newRow("f2fs") << "f2fs" << F2fs;
    QTest::newRow("recovery") << "recovery" << Recovery;
    QTest::newRow("unknown") << "unknown" << Unknown;
    QTest::newRow("crypto_LUKS") << "crypto_LUKS" << Unknown;
}

void FsTypeTest::byName() {
    QFETCH(QString, name);
    QFETCH(FsType, expected);
    QCOMPARE(int(GetFsTypeByName(name)), int(expected));
}

void FsTypeTest::name_data() {
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("expected");

    QTest::newRow("Empty") << 0 << "";
    QTest::newRow("Btrfs") << 1 << "btrfs";
    QTest::newRow("Efi") << 2 << "efi";
    QTest::newRow("Ext4") << 5 << "ext4";
    QTest::newRow("Vfat") << 9 << "vfat";
    QTest::newRow("HfsPlus") << 11 << "hfsplus";
    QTest::newRow("LinuxSwap has no row but a name") << 13 << "linux-swap";
    QTest::newRow("Lvm2Pv") << 14 << "lvm2 pv";
    QTest::newRow("Ntfs") << 16 << "ntfs";
    QTest::newRow("17 is unassigned") << 17 << "";
    QTest::newRow("Reiser4") << 18 << "reiser4";
    QTest::newRow("Reiserfs") << 19 << "reiserfs";
    QTest::newRow("Xfs") << 20 << "xfs";
    QTest::newRow("Recovery") << 21 << "recovery";
    QTest::newRow("Unknown") << 22 << "unknown";
    QTest::newRow("23 is out of range") << 23 << "";
    QTest::newRow("31 is out of range") << 31 << "";
}

void FsTypeTest::name() {
    QFETCH(int, value);
    QFETCH(QString, expected);
    const QString name = GetFsTypeName(static_cast<FsType>(value));
    QCOMPARE(name, expected);
}

// Every value with a name comes back from its name; 17 and Empty have none to come back from.
void FsTypeTest::roundTrip() {
    int named = 0;
    for (int value = 0; value <= 22; ++value) {
        const QString name = GetFsTypeName(static_cast<FsType>(value));
        if (name.isEmpty()) {
            QVERIFY2(value == 0 || value == 17, qPrintable(QString::number(value)));
            continue;
        }
        ++named;
        QCOMPARE(int(GetFsTypeByName(name)), value);
        QCOMPARE(int(GetFsTypeByName(name.toUpper())), value);
    }
    QCOMPARE(named, 21);
}

void FsTypeTest::supportedBackupFsTypes() {
    QCOMPARE(SupportedBackupFsTypes, QStringList({"ext4", "xfs", "btrfs", "reiserfs"}));
}

void FsTypeTest::debugStreamWritesTheName() {
    QString viaType;
    QString viaText;
    QDebug(&viaType) << Ext4 << LinuxSwap << static_cast<FsType>(17);
    QDebug(&viaText) << QString("ext4") << QString("linux-swap") << QString();
    QCOMPARE(viaType, viaText);
    QVERIFY(viaType.contains("\"ext4\""));
}

QTEST_APPLESS_MAIN(FsTypeTest)
#include "tst_fstype.moc"
