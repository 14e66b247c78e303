#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

#include "common/fakeprograms.h"
#include "common/testfiles.h"
#include "utils/Device/device.h"

namespace {

const QString kUnchanged = "<unchanged>";

// A volume of the kernel's table with a device path, so a fake lsblk line can name it.
QStorageInfo someMountedDevice() {
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        if (volume.device().startsWith("/dev/")) {
            return volume;
        }
    }
    return {};
}

// The luks-data machine with sda4 taken off /data, read into the cache; dmsetup fails and
// program (mount or umount) exits with status.
void fakeLuksDataMachine(FakePrograms& fake, const QString& program, int status) {
    fake.install("lsblk", readFixture("device/lsblk-machine-luks-data.txt")
                              .replace(R"(MOUNTPOINT="/data")", R"(MOUNTPOINT="")"));
    fake.install("dmsetup", "", 1);
    fake.install(program, "", status);
    Device::getDeviceList();
}

}  // namespace

class TestDeviceMount : public QObject {
    Q_OBJECT

private slots:
    void mediaMountPoints_data();
    void mediaMountPoints();
    void mountPointByUuid_data();
    void mountPointByUuid();
    void uuidNeverReachesAShell();
    void bindSourceOnUuidMount_data();
    void bindSourceOnUuidMount();
    void bindSourceKeepsFirstFstab();
    void mount_data();
    void mount();
    void umount_data();
    void umount();
};

void TestDeviceMount::mediaMountPoints_data() {
    QTest::addColumn<QString>("output");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QStringList>("mountPoints");
    QTest::newRow("two media mounts among others")
        << "MOUNTPOINT\n\n/\n/media/user/USB\n/boot\n  /media/cd  \n"
        << 0 << true << QStringList{"/media/user/USB", "/media/cd"};
    QTest::newRow("nothing under /media/") << "MOUNTPOINT\n/\n/boot\n/media\n"
                                           << 0 << false << QStringList{};
    QTest::newRow("anywhere in the line, like grep") << "MOUNTPOINT\n/mnt/media/x\n"
                                                     << 0 << true << QStringList{"/mnt/media/x"};
    QTest::newRow("lsblk missing or silent") << "" << 1 << false << QStringList{};
    QTest::newRow("a failing lsblk's lines still count") << "/media/a\n"
                                                         << 1 << true << QStringList{"/media/a"};
}

void TestDeviceMount::mediaMountPoints() {
    QFETCH(QString, output);
    QFETCH(int, status);
    QFETCH(bool, expected);
    QFETCH(QStringList, mountPoints);
    FakePrograms fake;
    fake.install("lsblk", output, status);
    QStringList got{"stale"};
    if (!expected) {
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(", spawnCmd failed, args = "));
    }
    QCOMPARE(Device::getAllMediaMountPoint(got), expected);
    QCOMPARE(got, mountPoints);
    QCOMPARE(fake.calls("lsblk"), QList<QStringList>{QStringList({"--output", "MOUNTPOINT"})});
}

void TestDeviceMount::mountPointByUuid_data() {
    QTest::addColumn<QString>("output");  // %DEV% stands for a mounted device
    QTest::addColumn<QString>("uuid");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<bool>("found");  // out-parameter set to the device's mount point
    const QString table =
        "UUID                                 PATH\n"
        "                                     /dev/sdz\n"
        "1A2B-3C4D                            /dev/sdz1\n"
        "11abcd22-0000-4000-8000-000000000001 %DEV%\n"
        "33abcd44-0000-4000-8000-000000000002 /dev/sdz3\n";
    QTest::newRow("mounted device")
        << table << "11abcd22-0000-4000-8000-000000000001" << true << true;
    QTest::newRow("known, not mounted") << table << "1A2B-3C4D" << true << false;
    QTest::newRow("unknown") << table << "99999999-0000-4000-8000-000000000009" << false << false;
    QTest::newRow("empty UUID") << table << "" << false << false;
    QTest::newRow("substring: first line that contains it") << table << "abcd" << true << true;
    QTest::newRow("substring of a path") << table << "sdz3" << true << false;
    QTest::newRow("header line takes part") << table << "PATH" << true << false;
    QTest::newRow("case-sensitive") << table << "1a2b-3c4d" << false << false;
    QTest::newRow("lsblk failed") << ""
                                  << "1A2B-3C4D" << false << false;
}

void TestDeviceMount::mountPointByUuid() {
    QFETCH(QString, output);
    QFETCH(QString, uuid);
    QFETCH(bool, expected);
    QFETCH(bool, found);
    const QStorageInfo volume = someMountedDevice();
    if (!volume.isValid()) {
        QSKIP("no mounted volume with a /dev device path on this machine");
    }
    FakePrograms fake;
    fake.install("lsblk", output.replace("%DEV%", QString::fromUtf8(volume.device())));
    QString mountPoint = kUnchanged;
    if (!expected) {
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(", spawnCmd failed, args = "));
    }
    QCOMPARE(Device::getMountPointByUUID(uuid, mountPoint), expected);
    QCOMPARE(mountPoint, found ? volume.rootPath() : kUnchanged);
    QCOMPARE(fake.calls("lsblk"), QList<QStringList>{QStringList({"--output", "UUID,PATH"})});
}

void TestDeviceMount::uuidNeverReachesAShell() {
    FakePrograms fake;
    QTemporaryDir dir;
    const QString marker = dir.filePath("pwned");
    const QStringList hostile{"x; touch " + marker, "$(touch " + marker + ")",
                              "`touch " + marker + "`", "x | touch " + marker};
    for (const QString& uuid : hostile) {
        // Printed literally by lsblk it is only text to match.
        fake.install("lsblk", "UUID PATH\n" + uuid + " /dev/sdz9\n");
        QString mountPoint = kUnchanged;
        QVERIFY(Device::getMountPointByUUID(uuid, mountPoint));
        QCOMPARE(mountPoint, kUnchanged);
        fake.install("lsblk", "UUID PATH\nabcd /dev/sdz9\n");
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(", spawnCmd failed, args = "));
        QVERIFY(!Device::getMountPointByUUID(uuid, mountPoint));
        QVERIFY2(!QFile::exists(marker), qPrintable(uuid));
    }
    for (const QStringList& args : fake.calls("lsblk")) {
        QCOMPARE(args, QStringList({"--output", "UUID,PATH"}));
    }
}

void TestDeviceMount::bindSourceOnUuidMount_data() {
    QTest::addColumn<QString>("fstab");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QStringList>("uuidMountPoints");
    const QString uuids =
        "UUID=aaaa / ext4 defaults 0 1\n"
        "UUID=bbbb\t/data\text4\tdefaults\t0 2\n";
    QTest::newRow("binds from a UUID mount")
        << uuids + "/data/home /home none bind 0 0\n/data/opt /opt none rw,bind 0 0\n"
        << true << QStringList{"/", "/data"};
    QTest::newRow("binds from two directories")
        << uuids + "/data/home /home none bind 0 0\n/srv/opt /opt none bind 0 0\n"
        << false << QStringList{"/", "/data"};
    QTest::newRow("no binds") << uuids << false << QStringList{"/", "/data"};
    QTest::newRow("bind source not a UUID mount")
        << "/dev/sda4 /data ext4 defaults 0 2\n/data/home /home none bind 0 0\n"
        << false << QStringList{};
    QTest::newRow("comments do not count")
        << "# UUID=cccc /data ext4 defaults 0 2\nUUID=aaaa / ext4 defaults 0 1\n"
           "/data/home /home none bind 0 0 # trailing\n#/srv/x /x none bind 0 0\n"
        << false << QStringList{"/"};
    QTest::newRow("lower-case uuid= is not a UUID entry")
        << "uuid=bbbb /data ext4 defaults 0 2\n/data/home /home none bind 0 0\n"
        << false << QStringList{};
    QTest::newRow("source without a slash")
        << "UUID=bbbb data ext4 defaults 0 2\ndata /home none bind 0 0\n"
        << true << QStringList{"data"};
    QTest::newRow("empty") << "" << false << QStringList{};
}

void TestDeviceMount::bindSourceOnUuidMount() {
    QFETCH(QString, fstab);
    QFETCH(bool, expected);
    QFETCH(QStringList, uuidMountPoints);
    QStringList got{"stale"};
    QCOMPARE(Device::bindSourceOnUUIDMount(FSTab::parseFSTab(fstab.toUtf8()), got), expected);
    QCOMPARE(got, uuidMountPoints);
}

// The first fstab read serves the whole process; later file names are not read.
void TestDeviceMount::bindSourceKeepsFirstFstab() {
    QTemporaryDir dir;
    const QString first = dir.filePath("fstab-true");
    const QString second = dir.filePath("fstab-false");
    QVERIFY(
        writeFile(first, "UUID=bbbb /data ext4 defaults 0 2\n/data/home /home none bind 0 0\n"));
    QVERIFY(writeFile(second, "UUID=bbbb /data ext4 defaults 0 2\n"));
    QStringList mountPoints;
    QVERIFY(Device::isBindSourceOnUUIDMount(first, mountPoints));
    QCOMPARE(mountPoints, QStringList{"/data"});
    QVERIFY(Device::isBindSourceOnUUIDMount(second, mountPoints));
    QVERIFY(Device::isBindSourceOnUUIDMount(dir.filePath("missing"), mountPoints));
}

void TestDeviceMount::mount_data() {
    QTest::addColumn<QString>("identifier");
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QStringList>("args");  // empty when mount must not run
    QTest::addColumn<QString>("mountPointAfter");
    QTest::newRow("unmounted partition")
        << "sda4"
        << "/mnt/x" << 0 << true << QStringList{"/dev/sda4", "/mnt/x"} << "/mnt/x";
    QTest::newRow("mount fails") << "sda4"
                                 << "/mnt/x" << 32 << false << QStringList{"/dev/sda4", "/mnt/x"}
                                 << "";
    QTest::newRow("LUKS container is a partition")
        << "sdb2"
        << "/mnt/x" << 0 << true << QStringList{"/dev/sdb2", "/mnt/x"} << "/mnt/x";
    QTest::newRow("disk refused") << "sda"
                                  << "/mnt/x" << 0 << false << QStringList{} << "";
    QTest::newRow("LUKS mapping refused")
        << "dm-0"
        << "/mnt/x" << 0 << false << QStringList{} << "/media/secret";
    QTest::newRow("mounted elsewhere") << "sdb1"
                                       << "/mnt/x" << 0 << false << QStringList{} << "/media/store";
    QTest::newRow("same mount point runs again")
        << "sdb1"
        << "/media/store" << 0 << true << QStringList{"/dev/sdb1", "/media/store"}
        << "/media/store";
    QTest::newRow("mount point with a blank is one argument")
        << "sda4"
        << "/mnt/my disk" << 0 << true << QStringList{"/dev/sda4", "/mnt/my disk"}
        << "/mnt/my disk";
}

void TestDeviceMount::mount() {
    QFETCH(QString, identifier);
    QFETCH(QString, target);
    QFETCH(int, status);
    QFETCH(bool, expected);
    QFETCH(QStringList, args);
    QFETCH(QString, mountPointAfter);
    FakePrograms fake;
    fakeLuksDataMachine(fake, "mount", status);
    QVERIFY(!Device("no-such-device").mount(target));
    Device device(identifier);
    QVERIFY(!device.getDeviceInfo().isNull());

    QCOMPARE(device.mount(target), expected);
    const QList<QStringList> calls = fake.calls("mount");
    QCOMPARE(calls, args.isEmpty() ? QList<QStringList>{} : QList<QStringList>{args});
    // The record is shared with the cache.
    QCOMPARE(Device::lookupDevice(identifier)->mountPoint, mountPointAfter);
}

void TestDeviceMount::umount_data() {
    QTest::addColumn<QString>("identifier");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("mountPointAfter");
    QTest::newRow("mounted partition") << "sdb1" << 0 << true << QStringList{"/media/store"} << "";
    QTest::newRow("umount fails") << "sdb1" << 32 << false << QStringList{"/media/store"}
                                  << "/media/store";
    QTest::newRow("not mounted: nothing to do") << "sda4" << 1 << true << QStringList{} << "";
    QTest::newRow("disk refused") << "sda" << 0 << false << QStringList{} << "";
    QTest::newRow("LUKS mapping refused")
        << "dm-0" << 0 << false << QStringList{} << "/media/secret";
}

void TestDeviceMount::umount() {
    QFETCH(QString, identifier);
    QFETCH(int, status);
    QFETCH(bool, expected);
    QFETCH(QStringList, args);
    QFETCH(QString, mountPointAfter);
    FakePrograms fake;
    fakeLuksDataMachine(fake, "umount", status);
    QVERIFY(!Device().umount());
    Device device(identifier);
    QVERIFY(!device.getDeviceInfo().isNull());

    QCOMPARE(device.umount(), expected);
    QCOMPARE(fake.calls("umount"),
             args.isEmpty() ? QList<QStringList>{} : QList<QStringList>{args});
    QCOMPARE(device.getDeviceInfo()->mountPoint, mountPointAfter);
}

QTEST_GUILESS_MAIN(TestDeviceMount)
#include "tst_device_mount.moc"
