#include <QTemporaryDir>
#include <QtTest>

#include "common/fakeprograms.h"
#include "common/testfiles.h"
#include "utils/Device/device.h"

namespace {

const QString kEfi = "1A2B-3C4D";
const QString kBoot = "5b6f3c4e-1f0a-4b7e-9d1e-2a1f0c9b8e01";
const QString kRoot = "8e3b2a91-6c4d-4f1e-a2b3-c4d5e6f70812";
const QString kData = "c0ffee00-1234-4abc-8def-0123456789ab";
const QString kLvRoot = "a1b2c3d4-0000-4000-8000-00000000a001";
const QString kLvSwap = "a1b2c3d4-0000-4000-8000-00000000a002";
const QString kLvHome = "b1b2c3d4-0000-4000-8000-00000000b003";
const QString kLuksRoot = "f0e1d2c3-b4a5-4968-8776-655443322110";
const QString kAbsent = "00000000-dead-4bee-8f00-000000000000";

// The tree as text: kname(children...). A child whose parent link does not point back at
// the node it hangs under is marked with "!".
QString render(const DeviceInfoPtr& node) {
    QString text = node->kname;
    if (node->children.isEmpty()) {
        return text;
    }
    QStringList children;
    for (const DeviceInfoPtr& child : node->children) {
        const bool linked = child->parent.toStrongRef() == node;
        children.append((linked ? "" : "!") + render(child));
    }
    return text + "(" + children.join(',') + ")";
}

QString knames(const DeviceInfoList& list) {
    QStringList names;
    for (const DeviceInfoPtr& d : list) {
        names.append(d->kname);
    }
    return names.join(',');
}

// Six lists -> "disks|luks|pv|plain|lv|crypt" of knames.
QString categories(const QList<DeviceInfoList>& lists) {
    QStringList parts;
    for (const DeviceInfoList& list : lists) {
        parts.append(knames(list));
    }
    return parts.join('|');
}

DeviceInfoList inventoryWithMapperLinks(FakePrograms& fake, QTemporaryDir& mapper) {
    fake.installFixture("lsblk", "device/lsblk-machine-luks-lvm-2disks.txt");
    fake.installFixture("dmsetup", "device/dmsetup-deps-2disks.txt");
    const QList<QPair<QString, QString>> links{
        {"luks-a", "dm-0"}, {"luks-b", "dm-1"}, {"vga-root", "dm-2"}, {"vgb-data", "dm-3"}};
    for (const auto& link : links) {
        QFile::link("/dev/" + link.second, mapper.filePath(link.first));
    }
    return Device::createDeviceList(mapper.path());
}

}  // namespace

class TestDeviceRelations : public QObject {
    Q_OBJECT

private slots:
    void machines_data();
    void machines();
    void parentLinksDoNotKeepRecordsAlive();
    void dependenciesCompleteTheTree();
    void encryptedLvmOnMultipleDisks_data();
    void encryptedLvmOnMultipleDisks();
    void systemDiskNamesKeepFirstFstab();
};

void TestDeviceRelations::machines_data() {
    QTest::addColumn<QString>("machine");
    QTest::addColumn<QStringList>("uuids");
    QTest::addColumn<QString>("categories");
    QTest::addColumn<QString>("tree");
    QTest::addColumn<QString>("orphans");  // categorised, not a disk, no parent
    QTest::addColumn<bool>("lvm");
    QTest::addColumn<bool>("encrypted");
    QTest::addColumn<bool>("fmEncrypted");
    QTest::addColumn<QStringList>("systemDisks");

    const QStringList plainUuids{kEfi, kBoot, kRoot, kData};
    const QString plainCats = "sda|||sda1,sda2,sda3,sda4,sda5||";
    const QString plainTree = "sda(sda1,sda2,sda3,sda4,sda5)";
    // sr0 (type rom) falls in no category.
    QTest::newRow("plain partitions") << "plain" << plainUuids << plainCats << plainTree << ""
                                      << false << false << false << QStringList{"sda"};
    QTest::newRow("plain, fstab UUID no device carries, no LUKS anywhere")
        << "plain" << (plainUuids + QStringList{kAbsent}) << plainCats << plainTree << "" << false
        << false << false << QStringList{"sda"};

    const QString dataCats = "sda,sdb|sdb2||sda1,sda2,sda3,sda4,sdb1||dm-0";
    const QString dataTree = "sda(sda1,sda2,sda3,sda4) sdb(sdb1,sdb2(dm-0))";
    QTest::newRow("LUKS data partition that fstab does not name")
        << "luks-data" << plainUuids << dataCats << dataTree << "" << false << false << false
        << QStringList{"sda"};
    QTest::newRow("LUKS around and an fstab UUID no device carries")
        << "luks-data" << (plainUuids + QStringList{kAbsent}) << dataCats << dataTree << "" << false
        << true << true << QStringList{"sda"};
    QTest::newRow("LUKS around and a duplicate fstab UUID")
        << "luks-data" << (plainUuids + QStringList{kRoot}) << dataCats << dataTree << "" << false
        << true << true << QStringList{"sda"};
    QTest::newRow("the opened LUKS mapping is in fstab")
        << "luks-data" << (plainUuids + QStringList{"77aa0c1d-2e3f-4a5b-8c7d-6e5f4a3b2c1d"})
        << dataCats << dataTree << "" << false << true << true << QStringList{"sda"};

    // The swap volume is listed first; children are ordered by minor number.
    QTest::newRow("root on LVM") << "lvm" << QStringList{kEfi, kBoot, kLvRoot, kLvSwap}
                                 << "sda||sda3|sda1,sda2|dm-1,dm-0|"
                                 << "sda(sda1,sda2,sda3(dm-0,dm-1))"
                                 << "" << true << false << false << QStringList{"sda"};
    QTest::newRow("LVM partitions not in fstab")
        << "lvm" << QStringList{kEfi, kBoot} << "sda||sda3|sda1,sda2|dm-1,dm-0|"
        << "sda(sda1,sda2,sda3(dm-0,dm-1))"
        << "" << false << false << false << QStringList{"sda"};

    const QString luksLvmCats = "nvme0n1|nvme0n1p3,dm-0||nvme0n1p1,nvme0n1p2|dm-1,dm-3,dm-2|";
    const QString luksLvmTree = "nvme0n1(nvme0n1p1,nvme0n1p2,nvme0n1p3(dm-0(dm-1,dm-2,dm-3)))";
    QTest::newRow("LVM inside LUKS")
        << "luks-lvm" << QStringList{kEfi, kBoot, kLvRoot, kLvSwap, kLvHome} << luksLvmCats
        << luksLvmTree << "" << true << true << false << QStringList{"nvme0n1"};
    QTest::newRow("LVM inside LUKS, one system volume missing")
        << "luks-lvm" << QStringList{kEfi, kBoot, kLvRoot, kAbsent} << luksLvmCats << luksLvmTree
        << "" << true << true << true << QStringList{"nvme0n1"};

    QTest::newRow("LUKS without LVM")
        << "luks" << QStringList{kEfi, kBoot, kLuksRoot} << "sda|sda3||sda1,sda2||dm-0"
        << "sda(sda1,sda2,sda3(dm-0))"
        << "" << false << true << true << QStringList{"sda"};

    // The container is a disk: its mapping and volume hang nowhere, so nothing reads as
    // encrypted even though the volume is found.
    QTest::newRow("LUKS on a whole disk")
        << "luks-disk" << (plainUuids + QStringList{kLvRoot})
        << "sda,sdb|dm-0||sda1,sda2,sda3,sda4|dm-1|"
        << "sda(sda1,sda2,sda3,sda4) sdb"
        << "dm-0,dm-1" << true << false << false << QStringList{"sda"};
}

void TestDeviceRelations::machines() {
    QFETCH(QString, machine);
    QFETCH(QStringList, uuids);
    QFETCH(QString, categories);
    QFETCH(QString, tree);
    QFETCH(QString, orphans);
    QFETCH(bool, lvm);
    QFETCH(bool, encrypted);
    QFETCH(bool, fmEncrypted);
    QFETCH(QStringList, systemDisks);

    FakePrograms fake;
    fake.installFixture("lsblk", "device/lsblk-machine-" + machine + ".txt");
    fake.install("dmsetup", "", 1);

    DeviceInfoList disks{DeviceInfoPtr(new DeviceInfo)}, luks, pv, plain, lv, crypt;
    Device::classifyDevices(disks, luks, pv, plain, lv, crypt);
    QCOMPARE(::categories({disks, luks, pv, plain, lv, crypt}), categories);

    const DeviceInfoList roots = Device::linkDeviceTree(disks, luks, pv, plain, lv, crypt);
    QCOMPARE(roots, disks);
    QStringList rendered;
    for (const DeviceInfoPtr& disk : roots) {
        QVERIFY(disk->parent.isNull());
        rendered.append(render(disk));
    }
    QCOMPARE(rendered.join(' '), tree);
    DeviceInfoList unlinked;
    for (const DeviceInfoList& list : {luks, pv, plain, lv, crypt}) {
        for (const DeviceInfoPtr& d : list) {
            if (d->parent.isNull()) {
                unlinked.append(d);
            }
        }
    }
    QCOMPARE(knames(unlinked), orphans);

    bool isEncrypted = !encrypted;
    bool isFmEncrypted = !fmEncrypted;
    QCOMPARE(Device::isLvm(uuids, isEncrypted, isFmEncrypted), lvm);
    QCOMPARE(isEncrypted, encrypted);
    QCOMPARE(isFmEncrypted, fmEncrypted);
    QCOMPARE(Device::systemDiskNamesOnList(Device::createDeviceList(), uuids), systemDisks);
}

void TestDeviceRelations::parentLinksDoNotKeepRecordsAlive() {
    FakePrograms fake;
    fake.installFixture("lsblk", "device/lsblk-machine-luks-lvm.txt");
    fake.install("dmsetup", "", 1);
    QWeakPointer<DeviceInfo> disk;
    QWeakPointer<DeviceInfo> volume;
    {
        DeviceInfoList disks, luks, pv, plain, lv, crypt;
        Device::classifyDevices(disks, luks, pv, plain, lv, crypt);
        Device::linkDeviceTree(disks, luks, pv, plain, lv, crypt);
        disk = disks.first();
        volume = lv.first();
        QCOMPARE(volume.toStrongRef()->parent.toStrongRef()->kname, QString("dm-0"));
    }
    QVERIFY(disk.isNull());
    QVERIFY(volume.isNull());
}

void TestDeviceRelations::dependenciesCompleteTheTree() {
    FakePrograms fake;
    QTemporaryDir mapper;
    const DeviceInfoList inventory = inventoryWithMapperLinks(fake, mapper);
    const QStringList uuids{kBoot, kLvRoot, kData};

    DeviceInfoList disks, luks, pv, plain, lv, crypt;
    Device::classifyDeviceList(inventory, disks, luks, pv, plain, lv, crypt);
    Device::linkDeviceTree(disks, luks, pv, plain, lv, crypt);
    QCOMPARE(render(disks.at(0)) + " " + render(disks.at(1)),
             QString("sda(sda1,sda2(dm-0(dm-2))) sdb(sdb1(dm-1(dm-3)))"));

    bool isEncrypted = false;
    bool isFmEncrypted = true;
    QVERIFY(Device::isLvmOnList(inventory, uuids, isEncrypted, isFmEncrypted));
    QVERIFY(isEncrypted);
    QVERIFY(!isFmEncrypted);
    QCOMPARE(Device::systemDiskNamesOnList(inventory, uuids), QStringList({"sda", "sdb"}));

    // Without the mapper links lsblk's empty parents stand: the volumes hang nowhere.
    QTemporaryDir emptyMapper;
    const DeviceInfoList bare = Device::createDeviceList(emptyMapper.path());
    QVERIFY(Device::isLvmOnList(bare, uuids, isEncrypted, isFmEncrypted));
    QVERIFY(!isEncrypted);
    QCOMPARE(Device::systemDiskNamesOnList(bare, uuids), QStringList({"sda"}));
}

void TestDeviceRelations::encryptedLvmOnMultipleDisks_data() {
    QTest::addColumn<bool>("twoDisks");
    QTest::addColumn<QString>("fstab");
    QTest::addColumn<bool>("expected");
    const QString volumes =
        QString("UUID=%1 / ext4 defaults 0 1\nUUID=%2 /data ext4 defaults 0 2\n")
            .arg(kLvRoot, kData);
    const QString binds =
        "/data/home /home none defaults,bind 0 0\n"
        "/data/opt\t/opt\tnone\tbind\t0 0\n";
    QTest::newRow("volumes on two disks, binds from one place") << true << volumes + binds << true;
    QTest::newRow("binds from two places")
        << true << volumes + binds + "/srv/var /var none bind 0 0\n"
        << false;
    QTest::newRow("no binds") << true << volumes << false;
    QTest::newRow("commented bind does not count")
        << true << volumes + "# /data/home /home none bind 0 0\n"
        << false;
    QTest::newRow("only one disk's volume in fstab")
        << true << QString("UUID=%1 / ext4 defaults 0 1\n").arg(kLvRoot) + binds << false;
    QTest::newRow("one disk") << false << volumes + binds << false;
}

void TestDeviceRelations::encryptedLvmOnMultipleDisks() {
    QFETCH(bool, twoDisks);
    QFETCH(QString, fstab);
    QFETCH(bool, expected);
    FakePrograms fake;
    QTemporaryDir mapper;
    DeviceInfoList inventory = inventoryWithMapperLinks(fake, mapper);
    if (!twoDisks) {
        fake.installFixture("lsblk", "device/lsblk-machine-luks-lvm.txt");
        inventory = Device::createDeviceList(mapper.path());
    }
    const FSTabInfoList table = FSTab::parseFSTab(fstab.toUtf8());
    QCOMPARE(Device::encryptedLvmOnMultipleDisksOnList(inventory, table), expected);
}

// The first fstab read serves the whole process; later file names are not read.
void TestDeviceRelations::systemDiskNamesKeepFirstFstab() {
    FakePrograms fake;
    fake.installFixture("lsblk", "device/lsblk-machine-luks-data.txt");
    fake.install("dmsetup", "", 1);
    QTemporaryDir dir;
    const QString first = dir.filePath("fstab-first");
    const QString second = dir.filePath("fstab-second");
    // The first names a partition of sda, the second one of sdb.
    const QList<QPair<QString, QString>> files{{first, kRoot},
                                               {second, "d0ffee00-1234-4abc-8def-0123456789ab"}};
    for (const auto& file : files) {
        QVERIFY(writeFile(file.first,
                          QString("UUID=%1 /srv ext4 defaults 0 2\n").arg(file.second).toUtf8()));
    }
    QCOMPARE(Device::getSystemDiskNames(first), QStringList({"sda"}));
    QCOMPARE(Device::getSystemDiskNames(second), QStringList({"sda"}));
}

QTEST_GUILESS_MAIN(TestDeviceRelations)
#include "tst_device_relations.moc"
