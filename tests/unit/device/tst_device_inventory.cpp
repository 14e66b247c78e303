#include <QTemporaryDir>
#include <QtTest>

#include "common/fakeprograms.h"
#include "common/testfiles.h"
#include "utils/Device/device.h"

namespace {

// One field of a record as text, so expectations fit in one table column.
QString fieldText(const DeviceInfo& d, const QString& field) {
    const QMap<QString, QString> fields{
        {"devicePath", d.devicePath},
        {"name", d.name},
        {"kname", d.kname},
        {"pkname", d.pkname},
        {"path", d.path},
        {"uuid", d.uuid},
        {"label", d.label},
        {"partUuid", d.partUuid},
        {"partLabel", d.partLabel},
        {"type", d.type},
        {"fsType", d.fsType},
        {"size", QString::number(d.size)},
        {"fsUsed", QString::number(d.fsUsed)},
        {"fsAvail", QString::number(d.fsAvail)},
        {"logicalSectorSize", QString::number(d.logicalSectorSize)},
        {"physicalSectorSize", QString::number(d.physicalSectorSize)},
        {"fsUsePercent", d.fsUsePercent},
        {"mountPoint", d.mountPoint},
        {"model", d.model},
        {"majMin", d.majMin},
        {"major", QString::number(d.major)},
        {"minor", QString::number(d.minor)},
        {"rotational", QString::number(d.rotational)},
        {"readOnly", d.readOnly ? "true" : "false"},
        {"hotplug", d.hotplug ? "true" : "false"},
        {"vendor", d.vendor},
        {"serial", d.serial},
        {"revision", d.revision},
        {"byUuidPath", d.byUuidPath},
        {"byLabelPath", d.byLabelPath},
        {"byPartUuidPath", d.byPartUuidPath},
        {"byPartLabelPath", d.byPartLabelPath},
        {"mapperName", d.mapperName},
        {"mapperPath", d.mapperPath},
    };
    return fields.value(field, "<no such field>");
}

QString knames(const DeviceInfoList& list) {
    QStringList names;
    for (const DeviceInfoPtr& d : list) {
        names.append(d->kname);
    }
    return names.join(',');
}

DeviceInfoPtr record(const QString& kname, const QString& mapperName = {}) {
    DeviceInfoPtr d(new DeviceInfo);
    d->kname = kname;
    d->devicePath = "/dev/" + kname;
    d->mapperName = mapperName;
    return d;
}

}  // namespace

class TestDeviceInventory : public QObject {
    Q_OBJECT

private slots:
    void parseLsblkRecords_data();
    void parseLsblkRecords();
    void parseLsblkFields_data();
    void parseLsblkFields();
    void runLsblkArguments();
    void parseDmDeps_data();
    void parseDmDeps();
    void applyDmDependencies_data();
    void applyDmDependencies();
    void mapperLinks();
    void createDeviceListWithMapperDir_data();
    void createDeviceListWithMapperDir();
    void lookupDevice_data();
    void lookupDevice();
    void deviceBinding();
    void cacheSharesRecords();
    void parseDfOutput_data();
    void parseDfOutput();
    void updateUsageFromDf_data();
    void updateUsageFromDf();
};

void TestDeviceInventory::parseLsblkRecords_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("expected");
    QTest::newRow("real host") << "lsblk-real-host.txt"
                               << "zram0,vda";
    QTest::newRow("real host with loop") << "lsblk-real-loop.txt"
                                         << "loop0,zram0,vda";
    // sdc has a non-numeric RO, sdd a MAJ-MIN key, sde is cut short: all skipped.
    QTest::newRow("variants") << "lsblk-variants.txt"
                              << "sda,sda1,sda2,sda3,sdb,dm-1,sdf1";
    // Lines a single scan must refuse as the pattern does: blank after the last field, two
    // blanks between fields, an empty or non-ASCII RO, a letter in MAJ:MIN, a renamed key.
    QTest::newRow("scan edges") << "lsblk-scan-edges.txt"
                                << "ok1,ok2,quoted";
    QTest::newRow("luks lvm machine")
        << "lsblk-machine-luks-lvm.txt"
        << "nvme0n1,nvme0n1p1,nvme0n1p2,nvme0n1p3,dm-0,dm-1,dm-3,dm-2";
}

void TestDeviceInventory::parseLsblkRecords() {
    QFETCH(QString, file);
    QFETCH(QString, expected);
    const DeviceInfoList list = Device::parseLsblkOutput(readFixture("device/" + file));
    QCOMPARE(knames(list), expected);
    for (const DeviceInfoPtr& d : list) {
        QVERIFY(d->parent.isNull());
        QVERIFY(d->children.isEmpty());
    }
}

void TestDeviceInventory::parseLsblkFields_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("expected");
    auto row = [](const char* tag, const char* file, int index, const char* field,
                  const QString& expected) {
        QTest::newRow(tag) << file << index << field << expected;
    };
    const char* host = "lsblk-real-host.txt";
    const char* var = "lsblk-variants.txt";
    row("real: size", host, 1, "size", "274877906944");
    row("real: empty FSUSED column of zram", host, 0, "fsUsed", "0");
    row("real: used", host, 1, "fsUsed", "29101084672");
    row("real: sectors", host, 1, "physicalSectorSize", "4096");
    row("real: major", host, 1, "major", "254");
    row("real: minor", host, 1, "minor", "0");
    row("real: vendor", host, 1, "vendor", "0x1af4");
    row("real: rota", host, 1, "rotational", "1");
    row("real: devicePath", host, 1, "devicePath", "/dev/vda");
    row("real: no uuid, no by-uuid path", host, 1, "byUuidPath", "");
    row("real: no label, no by-label path", host, 1, "byLabelPath", "");
    row("real: mount point", host, 1, "mountPoint", "/");
    row("MAJ_MIN key", var, 0, "majMin", "8:0");
    row("MAJ_MIN minor", var, 1, "minor", "1");
    row("escaped model kept", var, 0, "model", "Samsung\\x20SSD\\x20870");
    row("padded vendor trimmed", var, 0, "vendor", "ATA");
    row("escaped label kept", var, 1, "label", "My\\x20Files");
    row("by-label path keeps escape", var, 1, "byLabelPath", "/dev/disk/by-label/My\\x20Files");
    row("escaped mount point kept", var, 1, "mountPoint", "/media/user/My\\x20Files");
    row("partlabel keeps blanks", var, 1, "partLabel", "  EFI system  ");
    row("by-partlabel keeps blanks", var, 1, "byPartLabelPath",
        "/dev/disk/by-partlabel/  EFI system  ");
    row("by-uuid path", var, 1, "byUuidPath", "/dev/disk/by-uuid/1A2B-3C4D");
    row("by-partuuid path", var, 1, "byPartUuidPath", "/dev/disk/by-partuuid/6f1c-01");
    row("fs label trimmed", var, 2, "label", "padded");
    row("used and avail", var, 1, "fsAvail", "308277248");
    row("crypto_LUKS becomes luks", var, 2, "fsType", "luks");
    row("CRYPTO_luks becomes luks", var, 4, "fsType", "luks");
    row("LVM2_Member becomes lvm2", var, 3, "fsType", "lvm2");
    row("other types only lower-cased", var, 5, "fsType", "xfs");
    row("empty SIZE", var, 2, "size", "0");
    row("empty FSAVAIL", var, 2, "fsAvail", "0");
    row("empty LOG-SEC", var, 2, "logicalSectorSize", "0");
    row("empty ROTA", var, 2, "rotational", "-1");
    row("ROTA not a number", var, 4, "rotational", "-1");
    row("RO 1", var, 2, "readOnly", "true");
    row("HOTPLUG 1", var, 2, "hotplug", "true");
    row("RO 0", var, 1, "readOnly", "false");
    row("SIZE not a number", var, 3, "size", "0");
    row("FSUSED not a number", var, 3, "fsUsed", "0");
    row("negative SIZE", var, 4, "size", "-1");
    row("MAJ:MIN without colon: major", var, 4, "major", "8");
    row("MAJ:MIN without colon: minor", var, 4, "minor", "8");
    row("dm kname", var, 5, "devicePath", "/dev/dm-1");
    row("dm pkname", var, 5, "pkname", "sda3");
    row("dm path", var, 5, "path", "/dev/mapper/vg0-root");
    row("no mapper name from lsblk", var, 5, "mapperName", "");
    // Quotes inside a value: the greedy split still takes the label up to its last quote.
    row("quotes in a value", var, 6, "label", "say \"hi\" MODEL=\"x\"");
    row("quotes in a value: the next field", var, 6, "fsType", "ext4");
}

void TestDeviceInventory::parseLsblkFields() {
    QFETCH(QString, file);
    QFETCH(int, index);
    QFETCH(QString, field);
    QFETCH(QString, expected);
    const DeviceInfoList list = Device::parseLsblkOutput(readFixture("device/" + file));
    QVERIFY(index < list.size());
    QCOMPARE(fieldText(*list.at(index), field), expected);
}

void TestDeviceInventory::runLsblkArguments() {
    FakePrograms fake;
    fake.installFixture("lsblk", "device/lsblk-real-host.txt");
    QCOMPARE(Device::runLsblk(), readFixture("device/lsblk-real-host.txt"));
    const QList<QStringList> calls = fake.calls("lsblk");
    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls.first(),
             QStringList({"--bytes", "--pairs", "--output",
                          "NAME,KNAME,LABEL,UUID,TYPE,FSTYPE,SIZE,FSUSED,FSAVAIL,LOG-SEC,PHY-SEC,"
                          "MOUNTPOINT,MODEL,RO,HOTPLUG,MAJ:MIN,PARTLABEL,PARTUUID,PKNAME,PATH,"
                          "VENDOR,SERIAL,REV,ROTA"}));

    // A failing lsblk still hands over what it printed; nothing at all gives an empty list.
    fake.install("lsblk", "", 1);
    fake.install("dmsetup", "", 1);
    QVERIFY(Device::createDeviceList().isEmpty());
}

void TestDeviceInventory::parseDmDeps_data() {
    QTest::addColumn<QString>("output");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("fixture: last of several dependencies wins, junk skipped")
        << readFixture("device/dmsetup-deps-several.txt")
        << QStringList{"vg0-root>sda3", "vgdata-big>sdc1",
                       "luks-e5f6a7b8-1111-4222-8333-444455556666>nvme0n1p3"};
    QTest::newRow("empty") << "" << QStringList{};
    QTest::newRow("blank lines only") << "\n   \n\t\n" << QStringList{};
    QTest::newRow("blanks inside parentheses trimmed") << "  a b : 1 dependencies\t: ( sda1 )\n"
                                                       << QStringList{"a b>sda1"};
    QTest::newRow("empty parentheses") << "x: 1 dependencies\t: ()\n" << QStringList{"x>"};
}

void TestDeviceInventory::parseDmDeps() {
    QFETCH(QString, output);
    QFETCH(QStringList, expected);
    QStringList got;
    for (const DmDependency& dep : Device::parseDmDeps(output)) {
        got.append(dep.mapperName + ">" + dep.dependency);
    }
    QCOMPARE(got, expected);
}

void TestDeviceInventory::applyDmDependencies_data() {
    QTest::addColumn<QString>("mapperName");
    QTest::addColumn<QString>("dependency");
    QTest::addColumn<QString>("expectedPknames");
    // The list: sda2, dm-0 (mapper "vg-a", pkname "old"), dm-1 (mapper "vg-a").
    QTest::newRow("both found: first mapper record changes") << "vg-a"
                                                             << "sda2"
                                                             << "-,sda2,old";
    QTest::newRow("dependency unknown") << "vg-a"
                                        << "sdz9"
                                        << "-,old,old";
    QTest::newRow("mapper name unknown") << "vg-b"
                                         << "sda2"
                                         << "-,old,old";
    QTest::newRow("dependency is another mapping") << "vg-a"
                                                   << "dm-1"
                                                   << "-,dm-1,old";
}

void TestDeviceInventory::applyDmDependencies() {
    QFETCH(QString, mapperName);
    QFETCH(QString, dependency);
    QFETCH(QString, expectedPknames);
    DeviceInfoList list{record("sda2"), record("dm-0", "vg-a"), record("dm-1", "vg-a")};
    list[0]->pkname = "-";
    list[1]->pkname = "old";
    list[2]->pkname = "old";
    Device::applyDmDependencies(list, {{mapperName, dependency}});
    QStringList pknames;
    for (const DeviceInfoPtr& d : list) {
        pknames.append(d->pkname);
    }
    QCOMPARE(pknames.join(','), expectedPknames);
}

void TestDeviceInventory::mapperLinks() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QFile::link("/dev/dm-0", dir.filePath("vg0-root")));
    QVERIFY(QFile::link("/dev/dm-1", dir.filePath("vg0-swap")));
    QVERIFY(QFile::link("/dev/dm-7", dir.filePath("control")));
    QFile plain(dir.filePath("not-a-link"));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();

    auto links = Device::readMapperLinks(dir.path());
    std::sort(links.begin(), links.end());
    const QList<QPair<QString, QString>> expected{{dir.filePath("vg0-root"), "/dev/dm-0"},
                                                  {dir.filePath("vg0-swap"), "/dev/dm-1"}};
    QCOMPARE(links, expected);
    QVERIFY(Device::readMapperLinks(dir.filePath("missing")).isEmpty());

    // Every record of the device is named; a later link to the same device wins.
    DeviceInfoList list{record("dm-0"), record("dm-1"), record("dm-0")};
    Device::applyMapperLinks(
        list, {{"/m/first", "/dev/dm-0"}, {"/m/swap", "/dev/dm-1"}, {"/m/second", "/dev/dm-0"}});
    QCOMPARE(list[0]->mapperName, QString("second"));
    QCOMPARE(list[0]->mapperPath, QString("/m/second"));
    QCOMPARE(list[2]->mapperName, QString("second"));
    QCOMPARE(list[1]->mapperName, QString("swap"));
    QCOMPARE(list[1]->mapperPath, QString("/m/swap"));
}

void TestDeviceInventory::createDeviceListWithMapperDir_data() {
    QTest::addColumn<bool>("withLinks");
    QTest::addColumn<int>("dmsetupStatus");
    QTest::addColumn<QString>("expected");  // kname:mapperName:pkname of the dm records
    QTest::newRow("links and dmsetup")
        << true << 0 << "dm-0:luks-a:sda2 dm-1:luks-b:sdb1 dm-2:vga-root:dm-0 dm-3:vgb-data:dm-1";
    QTest::newRow("dmsetup fails: lsblk parents stand")
        << true << 1 << "dm-0:luks-a: dm-1:luks-b: dm-2:vga-root:dm-0 dm-3:vgb-data:dm-1";
    QTest::newRow("no links: nothing to attach dependencies to")
        << false << 0 << "dm-0:: dm-1:: dm-2::dm-0 dm-3::dm-1";
}

void TestDeviceInventory::createDeviceListWithMapperDir() {
    QFETCH(bool, withLinks);
    QFETCH(int, dmsetupStatus);
    QFETCH(QString, expected);
    FakePrograms fake;
    fake.installFixture("lsblk", "device/lsblk-machine-luks-lvm-2disks.txt");
    fake.installFixture("dmsetup", "device/dmsetup-deps-2disks.txt", dmsetupStatus);
    QTemporaryDir mapper;
    if (withLinks) {
        const QList<QPair<QString, QString>> links{
            {"luks-a", "dm-0"}, {"luks-b", "dm-1"}, {"vga-root", "dm-2"}, {"vgb-data", "dm-3"}};
        for (const auto& link : links) {
            QVERIFY(QFile::link("/dev/" + link.second, mapper.filePath(link.first)));
        }
    }
    const DeviceInfoList list = Device::createDeviceList(mapper.path());
    QStringList got;
    for (const DeviceInfoPtr& d : list) {
        if (d->kname.startsWith("dm-")) {
            got.append(d->kname + ":" + d->mapperName + ":" + d->pkname);
        }
    }
    QCOMPARE(got.join(' '), expected);
    QCOMPARE(fake.calls("dmsetup"), QList<QStringList>{QStringList({"deps", "-o", "blkdevname"})});
}

void TestDeviceInventory::lookupDevice_data() {
    QTest::addColumn<QString>("identifier");
    QTest::addColumn<QString>("expected");  // kname, or empty for no record
    QTest::newRow("loop by name") << "loop0"
                                  << "";
    QTest::newRow("loop by device path") << "/dev/loop0"
                                         << "";
    QTest::newRow("empty identifier") << ""
                                      << "";
    QTest::newRow("kernel name") << "sda2"
                                 << "sda2";
    QTest::newRow("device path") << "/dev/sda3"
                                 << "sda3";
    QTest::newRow("uuid") << "5b6f3c4e-1f0a-4b7e-9d1e-2a1f0c9b8e01"
                          << "sda2";
    QTest::newRow("by-uuid path") << "/dev/disk/by-uuid/1A2B-3C4D"
                                  << "sda1";
    QTest::newRow("mount point") << "/boot"
                                 << "sda2";
    QTest::newRow("partuuid") << "0b1eaa-03"
                              << "sda3";
    QTest::newRow("by-partuuid path") << "/dev/disk/by-partuuid/0b1eaa-03"
                                      << "sda3";
    QTest::newRow("mapper name (lsblk NAME)") << "vg0-root"
                                              << "dm-0";
    QTest::newRow("mapper path is not compared") << "/dev/mapper/vg0-root"
                                                 << "";
    QTest::newRow("case-sensitive") << "1a2b-3c4d"
                                    << "";
    QTest::newRow("unknown") << "/dev/sdz1"
                             << "";
}

void TestDeviceInventory::lookupDevice() {
    QFETCH(QString, identifier);
    QFETCH(QString, expected);
    FakePrograms fake;
    // A loop device that carries sda2's UUID and mount point comes first, so skipping it
    // is visible.
    QString loop = readFixture("device/lsblk-real-loop.txt").section('\n', 0, 0);
    loop.replace(R"( UUID="")", R"( UUID="5b6f3c4e-1f0a-4b7e-9d1e-2a1f0c9b8e01")")
        .replace(R"(MOUNTPOINT="")", R"(MOUNTPOINT="/boot")");
    fake.install("lsblk", loop + "\n" + readFixture("device/lsblk-machine-lvm.txt"));
    fake.install("dmsetup", "", 1);
    Device::getDeviceList();
    const DeviceInfoPtr found = Device::lookupDevice(identifier);
    QCOMPARE(found.isNull() ? QString() : found->kname, expected);
}

void TestDeviceInventory::deviceBinding() {
    FakePrograms fake;
    fake.installFixture("lsblk", "device/lsblk-machine-plain.txt");
    fake.install("dmsetup", "", 1);
    Device::getDeviceList();

    QVERIFY(Device().getDeviceInfo().isNull());
    QVERIFY(Device("").getDeviceInfo().isNull());
    QVERIFY(Device("nothing").getDeviceInfo().isNull());
    Device device("/boot");
    QCOMPARE(device.getDeviceInfo(), Device::lookupDevice("sda2"));
    device.setDevice("nothing");
    QCOMPARE(device.getDeviceInfo()->kname, QString("sda2"));
    device.setDevice("sda3");
    QCOMPARE(device.getDeviceInfo()->kname, QString("sda3"));
    Device copy = device;
    QCOMPARE(copy.getDeviceInfo(), device.getDeviceInfo());
}

void TestDeviceInventory::cacheSharesRecords() {
    FakePrograms fake;
    fake.installFixture("lsblk", "device/lsblk-machine-plain.txt");
    fake.install("dmsetup", "", 1);
    const DeviceInfoList list = Device::getDeviceList();
    QCOMPARE(list.size(), 7);
    list.at(4)->mountPoint = "/srv/recovery";
    QCOMPARE(Device::lookupDevice("/srv/recovery"), list.at(4));

    // A new listing replaces the cache as a whole.
    fake.installFixture("lsblk", "device/lsblk-real-host.txt");
    Device::getDeviceList();
    QVERIFY(Device::lookupDevice("sda2").isNull());
    QVERIFY(!Device::lookupDevice("vda").isNull());
    // createDeviceList builds a list of its own and leaves the cache alone.
    fake.installFixture("lsblk", "device/lsblk-machine-plain.txt");
    QCOMPARE(Device::createDeviceList().size(), 7);
    QVERIFY(Device::lookupDevice("sda2").isNull());
}

void TestDeviceInventory::parseDfOutput_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("expected");  // source size used avail percent
    QTest::newRow("real") << "df-real.txt"
                          << QStringList{"devtmpfs 12630843392 0 12630843392 0%",
                                         "tmpfs 25276157952 0 25276157952 0%",
                                         "/dev/vda 270553174016 29101539328 73643741184 29%",
                                         "tmpfs 12638076928 0 12638076928 0%"};
    // The mount point "/media/my disk" splits into eight pieces and drops its line.
    QTest::newRow("edited") << "df-edited.txt"
                            << QStringList{"devtmpfs 12630843392 0 12630843392 0%",
                                           "tmpfs 25276157952 0 25276157952 0%",
                                           "/dev/mapper/vg0-root 52521566208 21474836480 "
                                           "28362649600 44%",
                                           "/dev/sda2 493201408 90177536 367431680 20%",
                                           "/dev/sda1 535805952 6295552 529510400 2%",
                                           "/dev/sdc1 0 1024 2048 1%",
                                           "tmpfs 2526150656 81920 2526068736 1%"};
}

void TestDeviceInventory::parseDfOutput() {
    QFETCH(QString, file);
    QFETCH(QStringList, expected);
    QStringList got;
    for (const DfLine& l : Device::parseDfOutput(readFixture("device/" + file))) {
        got.append(QString("%1 %2 %3 %4 %5")
                       .arg(l.source)
                       .arg(l.size)
                       .arg(l.used)
                       .arg(l.avail)
                       .arg(l.usePercent));
    }
    QCOMPARE(got, expected);
    // Without its header the first data line would be taken as one.
    QVERIFY(Device::parseDfOutput("/dev/sda1 ext4 1 2 3 4% /\n").isEmpty());
}

void TestDeviceInventory::updateUsageFromDf_data() {
    QTest::addColumn<int>("dfStatus");
    QTest::addColumn<QStringList>("expected");  // kname size used avail percent
    QTest::newRow("df succeeds")
        << 0
        << QStringList{"sda1 535805952 6295552 529510400 2%",
                       "sda2 493201408 90177536 367431680 20%",
                       // Named by its /dev/mapper path in df: not found, unchanged.
                       "dm-0 10737418240 0 0 "};
    QTest::newRow("df fails: nothing changes")
        << 1
        << QStringList{"sda1 10737418240 0 0 ", "sda2 10737418240 0 0 ", "dm-0 10737418240 0 0 "};
}

void TestDeviceInventory::updateUsageFromDf() {
    QFETCH(int, dfStatus);
    QFETCH(QStringList, expected);
    FakePrograms fake;
    fake.installFixture("lsblk", "device/lsblk-machine-lvm.txt");
    fake.install("dmsetup", "", 1);
    fake.installFixture("df", "device/df-edited.txt", dfStatus);
    Device::getDeviceList();
    Device::updateUsageFromDf();
    QCOMPARE(fake.calls("df"), QList<QStringList>{QStringList({"-T", "-B1"})});
    QStringList got;
    for (const QString kname : {"sda1", "sda2", "dm-0"}) {
        const DeviceInfoPtr d = Device::lookupDevice(kname);
        QVERIFY(!d.isNull());
        got.append(QString("%1 %2 %3 %4 %5")
                       .arg(kname)
                       .arg(d->size)
                       .arg(d->fsUsed)
                       .arg(d->fsAvail)
                       .arg(d->fsUsePercent));
    }
    QCOMPARE(got, expected);
}

QTEST_GUILESS_MAIN(TestDeviceInventory)
#include "tst_device_inventory.moc"
