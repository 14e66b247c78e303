// The disk layer against the fake udisks2 service on a private bus: listing order,
// properties, NUL bytes, mounting, missing service and objects, and the number of D-Bus
// calls a run makes on machines of different sizes. The queries over a listing are tested
// apart, in tst_disks.

#include <QProcess>
#include <QtTest>
#include <memory>

#include "common/messagecapture.h"
#include "fakebus.h"
#include "platform/text/nultext.h"
#include "platform/udisks/disks.h"
#include "platform/udisks/oblockdevice.h"
#include "platform/udisks/odiskmanager.h"
#include "platform/udisks/udisks2names.h"

namespace {

const QString kBlock = "/org/freedesktop/UDisks2/block_devices/";
const QString kDrives = "/org/freedesktop/UDisks2/drives/";
const QString kBootUuid = "4f1c2a5e-0b7d-4e51-9a43-1d2e3f4a5b61";
const QString kRootUuid = "9d3b6e2f-5a41-4c8e-b7d2-6a0f1e2c3d42";
const QString kDataUuid = "2e7a9c41-8b3d-4f6a-a1e5-c4d3b2a19f83";
const QString kRecoveryUuid = "7b5c1d93-2f4e-4a8b-9c6d-e1f2a3b4c5d6";
const QString kUsbUuid = "5a6b7c8d-9e0f-4a1b-8c2d-3e4f5a6b7c8d";
const QString kLvmDataUuid = "a1b2c3d4-e5f6-4789-9abc-def012345678";

using DevicePtr = std::unique_ptr<OBlockDevice>;

DevicePtr open(const QString& path) {
    return DevicePtr(ODiskManager::createBlockDevice(path));
}

QStringList texts(const QByteArrayList& list) {
    QStringList result;
    for (const QByteArray& bytes : list) {
        result << QString::fromUtf8(bytes);
    }
    return result;
}

QStringList blockPaths(const QStringList& names) {
    QStringList paths;
    for (const QString& name : names) {
        paths << kBlock + name;
    }
    return paths;
}

}  // namespace

class TestUDisks : public QObject {
    Q_OBJECT

private:
    FakeBus m_bus;
    QMap<int, int> m_callCounts;
    // Every message still reaches the log; warnings are kept for the checks.
    std::unique_ptr<MessageCapture> m_log;

    QStringList warnings() const { return m_log->texts(QtWarningMsg); }

    void useScenario(const QStringList& args) {
        QVERIFY2(m_bus.startService(args), qPrintable(m_bus.error()));
        m_bus.clearCalls();
        m_log->clear();
    }

    QString writeScenario(const QString& name, const QByteArray& json) {
        QFile file(m_bus.dir() + '/' + name + ".json");
        file.open(QIODevice::WriteOnly);
        file.write(json);
        return file.fileName();
    }

    // What one run of the tool asks of the layer: a listing, one mount and one unmount of
    // an unmounted file system on a drive.
    int typicalRun() {
        m_bus.clearCalls();
        Disks disks = Disks::list();
        QString target;
        for (const ListedDevice& device : disks.devices()) {
            if (target.isEmpty() && device.type == "ext4" && device.mountPoints.isEmpty() &&
                !device.drive.isEmpty() && !device.node.isEmpty()) {
                target = device.uuid;
            }
        }
        if (!disks.mountIfNeeded(target).startsWith('/')) {
            return -1;
        }
        disks.unmount(target);
        return m_bus.calls().size();
    }

private slots:
    void initTestCase() {
        QVERIFY2(m_bus.startBus(), qPrintable(m_bus.error()));
        // Before the first use of the system bus in this process.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_bus.address().toUtf8());
        m_log = std::make_unique<MessageCapture>(MessageCapture::Forward::Yes);
    }

    void cleanupTestCase() { m_log.reset(); }

    void bytesUpToNul_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("empty") << QByteArray() << QByteArray();
        QTest::newRow("no NUL") << QByteArray("/dev/sda1") << QByteArray("/dev/sda1");
        QTest::newRow("one NUL") << QByteArray("/dev/sda1\0", 10) << QByteArray("/dev/sda1");
        QTest::newRow("several NULs")
            << QByteArray("/dev/sda1\0\0\0", 12) << QByteArray("/dev/sda1");
        QTest::newRow("text after NUL")
            << QByteArray("/media/a\0junk", 13) << QByteArray("/media/a");
        QTest::newRow("only NUL") << QByteArray("\0", 1) << QByteArray();
    }
    void bytesUpToNul() {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, expected);
        QCOMPARE(::bytesUpToNul(bytes), expected);
    }

    void emptyPathMakesNoDevice() {
        QVERIFY(ODiskManager::createBlockDevice(QString()) == nullptr);
    }

    void listingOrderIsTheManagers() {
        // The generated machine lists its filler disk before the system disk: the layer
        // must keep that order, not sort it.
        useScenario({"--generate", "10"});
        QStringList paths;
        for (const OListedDevice& device : ODiskManager().listBlockDevices()) {
            paths << device.path;
        }
        QCOMPARE(paths, blockPaths({"sdc", "sdc1", "sdc2", "sda", "sda1", "sda2", "sda3", "sda4",
                                    "sdb", "sdb1"}));
        QCOMPARE(m_bus.calls(), QStringList({"org.freedesktop.UDisks2.Manager.GetBlockDevices "
                                             "/org/freedesktop/UDisks2/Manager",
                                             "org.freedesktop.DBus.ObjectManager.GetManagedObjects "
                                             "/org/freedesktop/UDisks2"}));
        QVERIFY(warnings().isEmpty());
    }

    void properties_data() {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("uuid");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QByteArray>("device");
        QTest::addColumn<QString>("drive");
        QTest::addColumn<QStringList>("mounts");
        // The service names a drive by its model and serial.
        const QString disk1 = kDrives + "SIM_DISK_SIM_0001";
        const QString lvmDisk = kDrives + "SIM_DISK_SIM_disk1";
        QTest::newRow("whole disk") << "plain"
                                    << "sda"
                                    << ""
                                    << "" << QByteArray("/dev/sda") << disk1 << QStringList();
        QTest::newRow("boot") << "plain"
                              << "sda1" << kBootUuid << "ext4" << QByteArray("/dev/sda1") << disk1
                              << QStringList{"/boot"};
        QTest::newRow("root") << "plain"
                              << "sda2" << kRootUuid << "ext4" << QByteArray("/dev/sda2") << disk1
                              << QStringList{"/"};
        QTest::newRow("data") << "plain"
                              << "sda3" << kDataUuid << "ext4" << QByteArray("/dev/sda3") << disk1
                              << QStringList{"/data"};
        QTest::newRow("recovery") << "plain"
                                  << "sda4" << kRecoveryUuid << "ext4" << QByteArray("/dev/sda4")
                                  << disk1 << QStringList{"/recovery"};
        QTest::newRow("usb") << "plain"
                             << "sdb1" << kUsbUuid << "ext4" << QByteArray("/dev/sdb1")
                             << kDrives + "SIM_USB_SIM_usb1" << QStringList{"/media/user/usb"};
        QTest::newRow("physical volume")
            << "lvm-root"
            << "sda2"
            << "Xq3Lk9-2Vbn-Tz8R-Qw1E-Yu7I-Op4A-Sd5F6g"
            << "LVM2_member" << QByteArray("/dev/sda2") << lvmDisk << QStringList();
        // A mapped device has no drive: "/" from the service reads as empty.
        QTest::newRow("logical volume") << "lvm-root"
                                        << "dm_2d1" << kLvmDataUuid << "ext4"
                                        << QByteArray("/dev/dm-1") << "" << QStringList{"/data"};
    }
    void properties() {
        QFETCH(QString, scenario);
        QFETCH(QString, name);
        useScenario({"--scenario", scenario});
        const QList<OListedDevice> devices = ODiskManager().listBlockDevices();
        const auto it = std::find_if(devices.begin(), devices.end(), [&](const OListedDevice& d) {
            return d.path == kBlock + name;
        });
        QVERIFY(it != devices.end());
        const OBlockProperties& listed = it->properties;
        QTEST(listed.idUUID, "uuid");
        QTEST(listed.idType, "type");
        QTEST(listed.device, "device");  // the service sends it with a trailing NUL
        QTEST(listed.drive, "drive");
        QTEST(texts(listed.mountPoints), "mounts");
        QCOMPARE(m_bus.calls().size(), 2);  // all from the one bulk reading
        // A device made from its path alone reads the same by itself.
        DevicePtr device = open(kBlock + name);
        QCOMPARE(device->idUUID(), listed.idUUID);
        QCOMPARE(device->device(), listed.device);
        QCOMPARE(device->mountPoints(), listed.mountPoints);
        QCOMPARE(device->path(), kBlock + name);
        QCOMPARE(m_bus.calls().size(), 2 + 2);
        QVERIFY(warnings().isEmpty());
    }

    void bulkReadingFails() {
        // The order still comes from the manager; each device then asks for itself.
        useScenario({"--scenario", writeScenario("nobulk", R"({"extends": "plain",
                                                 "udisks": {"errors": {"GetManagedObjects":
                                                                       "broken"}}})")});
        const Disks disks = Disks::list();
        QCOMPARE(disks.devices().size(), 7);
        QCOMPARE(warnings().size(), 1);  // a disk without a file system is no failure
        QVERIFY(warnings().first().contains("GetManagedObjects"));
        QCOMPARE(disks.devices().at(0).node, QString("/dev/sda"));
        QVERIFY(disks.devices().at(0).mountPoints.isEmpty());
        QCOMPARE(disks.mountPointOf(kBootUuid), QString("/boot"));
        QCOMPARE(disks.byUuid(kBootUuid)->path, kBlock + "sda1");
        QCOMPARE(m_bus.calls().size(), 2 + 7 * 2);
    }

    void unmountAndMountFollowTheDevice() {
        useScenario({"--scenario", "plain"});
        ODiskManager manager;
        manager.blockDevices({});
        DevicePtr usb = open(kBlock + "sdb1");
        usb->unmount({});
        QVERIFY(usb->mountPoints().isEmpty());
        const QString answer = usb->mount({});
        QCOMPARE(answer, QString("/media/root/USB"));  // the label, as udisks2 does
        QCOMPARE(texts(usb->mountPoints()), QStringList{answer});
        const QString fs = "org.freedesktop.UDisks2.Filesystem.";
        const QString getAll = "org.freedesktop.DBus.Properties.GetAll " + kBlock + "sdb1";
        QCOMPARE(m_bus.calls().mid(1),
                 QStringList({fs + "Unmount " + kBlock + "sdb1", getAll, getAll,
                              fs + "Mount " + kBlock + "sdb1", getAll, getAll}));
        QVERIFY(warnings().isEmpty());
    }

    void mountFailuresAnswerNoPath_data() {
        QTest::addColumn<QByteArray>("scenario");
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("errorName");
        QTest::newRow("already mounted") << QByteArray(R"({"extends": "plain"})") << "sda4"
                                         << "org.freedesktop.UDisks2.Error.AlreadyMounted";
        QTest::newRow("service error") << QByteArray(R"({"extends": "recovery-unmounted",
                              "udisks": {"mount_error": "simulated failure"}})")
                                       << "sda4"
                                       << "org.freedesktop.UDisks2.Error.Failed";
        QTest::newRow("no file system") << QByteArray(R"({"extends": "plain"})") << "sda"
                                        << "org.freedesktop.DBus.Error.UnknownMethod";
    }
    void mountFailuresAnswerNoPath() {
        QFETCH(QByteArray, scenario);
        QFETCH(QString, device);
        QFETCH(QString, errorName);
        useScenario({"--scenario", writeScenario("mountfail", scenario)});
        ODiskManager manager;
        manager.blockDevices({});
        DevicePtr dev = open(kBlock + device);
        const QString answer = dev->mount({});
        QVERIFY2(answer.startsWith(errorName + ": "), qPrintable(answer));
        QVERIFY(answer.contains(' '));  // never taken for a path, even when simplified
        QCOMPARE(warnings().size(), 1);
        QVERIFY(warnings().first().contains(errorName));
        QCOMPARE(m_bus.calls().size(), 2);  // the listing and the mount: no refresh after it
    }

    void slowMountIsAwaited() {
        useScenario({"--scenario", writeScenario("slow", R"({"extends": "recovery-unmounted",
                                               "udisks": {"mount_delay": 3}})")});
        ODiskManager manager;
        manager.blockDevices({});
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(open(kBlock + "sda4")->mount({}), QString("/media/root/Backup"));
        QVERIFY(timer.elapsed() >= 2900);
        QVERIFY(warnings().isEmpty());
    }

    void timeOutIsNamed() {
        useScenario({"--scenario", writeScenario("hung", R"({"extends": "recovery-unmounted",
                                               "udisks": {"mount_delay": 4}})")});
        QDBusMessage request = QDBusMessage::createMethodCall(
            UDisks2::kService, kBlock + "sda4", UDisks2::kFilesystemInterface, UDisks2::kMount);
        request << QVariantMap();
        QDBusMessage reply;
        QString error;
        QVERIFY(!UDisks2Detail::call(request, "s", 1000, reply, error));
        QVERIFY2(error.contains("timed out"), qPrintable(error));
        QCOMPARE(warnings().size(), 1);
        QVERIFY2(warnings().first().contains("Filesystem.Mount") &&
                     warnings().first().contains("timed out after 1 seconds"),
                 qPrintable(warnings().first()));
    }

    void unknownObjectPath() {
        useScenario({"--scenario", "plain"});
        ODiskManager manager;
        manager.blockDevices({});
        m_bus.clearCalls();
        DevicePtr device = open(kBlock + "nosuch");
        QCOMPARE(device->idUUID(), QString());
        QVERIFY(device->mountPoints().isEmpty());
        QVERIFY(device->device().isEmpty());
        QCOMPARE(device->drive(), QString());
        QCOMPARE(m_bus.calls().size(), 1);  // asked once, not at every property
        QCOMPARE(warnings().size(), 1);
        QVERIFY(warnings().first().contains("org.freedesktop.DBus.Error.UnknownObject"));
        // Not even an object path: refused before it reaches the bus, still no crash.
        m_log->clear();
        DevicePtr bad = open("not an object path");
        QCOMPARE(bad->idUUID(), QString());
        QCOMPARE(warnings().size(), 1);
        QVERIFY(!bad->mount({}).startsWith('/'));
        QCOMPARE(warnings().size(), 2);
        QCOMPARE(m_bus.calls().size(), 1);  // neither reached the service
    }

    void callsDoNotGrowWithDevices_data() {
        QTest::addColumn<int>("devices");
        QTest::newRow("10 devices") << 10;
        QTest::newRow("500 devices") << 500;
    }
    void callsDoNotGrowWithDevices() {
        QFETCH(int, devices);
        useScenario({"--generate", QString::number(devices)});
        const int calls = typicalRun();
        qInfo("D-Bus calls for a run on %d block devices: %d", devices, calls);
        QVERIFY(calls > 0);
        QVERIFY(warnings().isEmpty());
        m_callCounts.insert(devices, calls);
        if (m_callCounts.size() == 2) {
            QCOMPARE(m_callCounts.value(500), m_callCounts.value(10));
        }
    }

    void serviceAbsent() {
        m_bus.stopService();
        m_log->clear();
        ODiskManager manager;
        QVERIFY(manager.blockDevices({}).isEmpty());
        QCOMPARE(warnings().size(), 1);
        QVERIFY(warnings().first().contains("org.freedesktop.DBus.Error.ServiceUnknown"));
        m_log->clear();
        DevicePtr device = open(kBlock + "sda1");
        QCOMPARE(device->idUUID(), QString());
        QVERIFY(!device->mount({}).startsWith('/'));
        device->unmount({});
        QCOMPARE(warnings().size(), 3);  // the reading, the mount, the unmount
    }

    void busAbsent() {
        // A process whose system bus cannot be reached at all: empty answers, one warning.
        QProcess probe;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + m_bus.dir() + "/no-bus");
        probe.setProcessEnvironment(env);
        probe.start(UDISKS_PROBE, {"list"});
        QVERIFY(probe.waitForFinished(30000));
        QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
        QCOMPARE(probe.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(probe.readAllStandardOutput()), QString("0 devices\n"));
        const QStringList lines =
            QString::fromUtf8(probe.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().contains("GetBlockDevices"), qPrintable(lines.first()));
    }
};

QTEST_GUILESS_MAIN(TestUDisks)
#include "tst_udisks.moc"
