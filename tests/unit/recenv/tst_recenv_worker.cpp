#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <memory>

#include "common/fakeprograms.h"
#include "common/testfiles.h"
#include "standins.h"
#include "utils/AsyncTask/asynctask.h"
#include "utils/utils/blkid.h"
#include "utils/utils/blkid_p.h"

namespace {

const char* const kSignals[] = {
    SIGNAL(fixPartitionSuccess()),
    SIGNAL(fixPartitionFailed(QString)),
    SIGNAL(showSystemRestoreFinish()),
    SIGNAL(getPartitionCheckItemFinish(QString)),
    SIGNAL(initLiveRestorePageFinish(QString)),
    SIGNAL(initSystemRepairToolPageFinish()),
    SIGNAL(initSystemRepairToolPageFailed(QString)),
};

// One spy per signal, in declaration order.
struct Spies {
    explicit Spies(AsyncTask& task) {
        for (const char* signal : kSignals) {
            spies.emplace_back(std::make_unique<QSignalSpy>(&task, signal));
        }
    }
    // How often each signal came, as "name:count" for the ones that did.
    QStringList fired() const {
        QStringList names;
        for (size_t i = 0; i < spies.size(); ++i) {
            if (!spies[i]->isEmpty()) {
                names.append(QString("%1:%2").arg(kSignals[i] + 1).arg(spies[i]->count()));
            }
        }
        return names;
    }
    QSignalSpy& at(size_t i) { return *spies[i]; }
    std::vector<std::unique_ptr<QSignalSpy>> spies;
};

QList<Utils::BlkIdInfo> fixtureList(const QString& fixture) {
    QList<Utils::BlkIdInfo> list;
    const QStringList lines =
        readFixture("recenv/blkid/" + fixture).split('\n', Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        list.append(Utils::parseBlkIdLine(line));
    }
    return list;
}

QJsonObject item(const QString& path, const QString& label, const QString& uuid,
                 const QString& fsType, int status, int deviceType = -1) {
    return QJsonObject{{"devicePath", path},      {"label", label},   {"uuid", uuid},
                       {"mountPoint", ""},        {"fsType", fsType}, {"status", status},
                       {"deviceType", deviceType}};
}

QJsonArray toArray(const QList<PartitionCheckItem>& items) {
    QJsonArray array;
    for (const PartitionCheckItem& i : items) {
        array.append(i.toJson());
    }
    return array;
}

const QJsonArray kWithUuid{
    item("/dev/sda1", "", "A1B2-C3D4", "vfat", 0),
    item("/dev/sdb3", "Data", "0d1c2b3a-4958-4677-8695-a4b3c2d1e0f9", "ext4", -1),
    item("/dev/sdb4", "", "d4e5f607-1829-4a3b-8c4d-5e6f708192a3", "swap", 0),
    item("/dev/mapper/vg0-root", "", "5a4b3c2d-1e0f-4a9b-8c7d-6e5f4a3b2c1d", "ext4", 0),
};

// Kept: sda2 (its PARTUUID tail is the first one), sda6 (another tail), sdb9 (listed before
// the recovery partition), sdc1 (no tail), sdd (PTUUID without PTTYPE).
// Left out: sda5 (same tail as sda2), sdb2 (on the recovery disk), sda (whole disk).
const QJsonArray kWithoutUuid{
    item("/dev/sda2", "", "", "", -1), item("/dev/sda6", "", "", "", -1),
    item("/dev/sdb9", "", "", "", -1), item("/dev/sdc1", "", "", "", -1),
    item("/dev/sdd", "", "", "", -1),
};

QJsonArray concat(QJsonArray a, const QJsonArray& b) {
    for (const QJsonValue& v : b) {
        a.append(v);
    }
    return a;
}

void runToEnd(AsyncTask& task) {
    task.start();
    QVERIFY(task.wait(20000));
}

}  // namespace

// The background worker: each job's signal and payload, and the partition-check list.
class WorkerTest : public QObject {
    Q_OBJECT

private:
    FakePrograms m_bin;
    QTemporaryDir m_work;

    QStringList fsckCalls() const { return bracketedCalls(m_bin, "fsck"); }

private slots:
    void initTestCase() {
        // No disk service: nothing here may mount anything.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/orvik-test-bus");
        installFakeBlkid(m_bin);
        m_bin.installScript("fsck", kFakeFsck);
        qputenv("FAKE_FSCK_ERRORS", "/dev/sdb3");
        QVERIFY(m_work.isValid());
        QVERIFY(QDir(m_work.path()).mkpath("mapper"));
        QVERIFY(QFile::link("../dm-1", m_work.filePath("mapper/vg0-root")));
        QVERIFY(QFile::link("../dm-2", m_work.filePath("mapper/vg0-swap")));
        Utils::setMapperDirForTests(m_work.filePath("mapper"));
    }

    void init() {
        m_bin.forgetCalls("fsck");
        qunsetenv("FAKE_FSCK_EXIT");
        qunsetenv("FAKE_BLKID_EXIT");
    }

    void constants() {
        QCOMPARE(kRepairFileSystemPage, QString("RepairFileSystem"));
        QCOMPARE(kSystemRestorePage, QString("SystemRestore"));
        QCOMPARE(kRepairFileSystemIcon, QString(":/repair_file_system.svg"));
        QCOMPARE(kRepairToolIcon, QString(":/orvik-repair.svg"));
        QCOMPARE(kSystemRestoreIcon, QString(":/system_restore.svg"));
    }

    void itemForms() {
        PartitionCheckItem i;
        i.devicePath = "/dev/sda2";
        i.label = "Boot";
        i.uuid = "u";
        i.mountPoint = "/boot";
        i.fsType = "ext4";
        i.status = -1;
        i.deviceType = 1;
        QCOMPARE(i.toString(), QString("devicePath: /dev/sda2, label: Boot, uuid: u, "
                                       "mountPoint: /boot, fsType: ext4, status: -1, "
                                       "deviceType: 1"));
        const QJsonObject json = i.toJson();
        QCOMPARE(json, (QJsonObject{{"devicePath", "/dev/sda2"},
                                    {"label", "Boot"},
                                    {"uuid", "u"},
                                    {"mountPoint", "/boot"},
                                    {"fsType", "ext4"},
                                    {"status", -1},
                                    {"deviceType", 1}}));
        QVERIFY(json.value("status").isDouble());

        // Reading back sets only what the object holds.
        PartitionCheckItem back = i;
        back.fromJson(QJsonObject{{"label", "New"}, {"status", "text"}, {"deviceType", 0}});
        QCOMPARE(back.label, QString("New"));
        QCOMPARE(back.status, 0);
        QCOMPARE(back.deviceType, 0);
        QCOMPARE(back.devicePath, QString("/dev/sda2"));
        QCOMPARE(back.mountPoint, QString("/boot"));
        PartitionCheckItem full;
        full.fromJson(json);
        QCOMPARE(full.toJson(), json);
    }

    void restoreInfoForm() {
        RestoreBaseInfo info;
        QCOMPARE(info.toJson(), (QJsonObject{{"recoveryUUID", ""},
                                             {"osType", ""},
                                             {"backupInfo", ""},
                                             {"recoveryInfo", ""},
                                             {"osVersion", -1},
                                             {"isExitsInitBackup", false},
                                             {"isDeviceOS", false},
                                             {"isLvm", false},
                                             {"isEncrypted", false},
                                             {"isFileManagerEncrypted", false}}));
        info.isEncrypted = true;
        info.osVersion = 1070;
        QCOMPARE(info.toJson().value("isEncrypted"), QJsonValue(true));
        QCOMPARE(info.toJson().value("osVersion"), QJsonValue(1070));
    }

    void unknownJobsEmitNothing_data() {
        QTest::addColumn<int>("job");
        QTest::newRow("0") << 0;
        QTest::newRow("6") << 6;
        QTest::newRow("-1") << -1;
    }

    void unknownJobsEmitNothing() {
        QFETCH(int, job);
        AsyncTask task(job);
        Spies spies(task);
        QElapsedTimer timer;
        timer.start();
        runToEnd(task);
        QVERIFY(timer.elapsed() < 1000);
        QCOMPARE(spies.fired(), QStringList());
    }

    void repair_data() {
        QTest::addColumn<QString>("exit");
        QTest::addColumn<QStringList>("fired");
        QTest::newRow("clean") << "0" << QStringList{"fixPartitionSuccess():1"};
        QTest::newRow("corrected") << "1" << QStringList{"fixPartitionSuccess():1"};
        QTest::newRow("reboot needed") << "2" << QStringList{"fixPartitionFailed(QString):1"};
        QTest::newRow("errors left") << "4" << QStringList{"fixPartitionFailed(QString):1"};
    }

    void repair() {
        QFETCH(QString, exit);
        QFETCH(QStringList, fired);
        qputenv("FAKE_FSCK_EXIT", exit.toLocal8Bit());
        AsyncTask task(1);
        task.setDevicePath("/dev/sdb 3;x");
        Spies spies(task);
        runToEnd(task);
        QCOMPARE(spies.fired(), fired);
        QCOMPARE(fsckCalls(), QStringList{"[-y][/dev/sdb 3;x]"});
        if (!spies.at(1).isEmpty()) {
            QCOMPARE(spies.at(1).first().first().toString(), QString("fsck err -y /dev/sdb 3;x\n"));
        }
    }

    void checkListLiveModes_data() {
        QTest::addColumn<int>("mode");
        QTest::newRow("overlay live") << 2;
        QTest::newRow("recovery live") << 3;
    }

    void checkListLiveModes() {
        QFETCH(int, mode);
        AsyncTask task(2);
        QList<PartitionCheckItem> items;
        QVERIFY(task.GetPartitionCheckItemList(items, mode, fixtureList("checklist.txt")));
        QCOMPARE(toArray(items), concat(kWithUuid, kWithoutUuid));
        // Only partitions with a file system are checked, each once, read-only.
        QCOMPARE(fsckCalls(),
                 (QStringList{"[-v][-n][/dev/sda1]", "[-v][-n][/dev/sdb3]", "[-v][-n][/dev/sdb4]",
                              "[-v][-n][/dev/mapper/vg0-root]"}));
    }

    void checkListWithoutRoot() {
        AsyncTask task(2);
        task.setSystemRootUUID("5a4b3c2d-1e0f-4a9b-8c7d-6e5f4a3b2c1d");
        QList<PartitionCheckItem> items;
        QTest::ignoreMessage(QtWarningMsg, "GetPartitionCheckItemList rootMountPoint isEmpty");
        QVERIFY(!task.GetPartitionCheckItemList(items, -1, fixtureList("checklist.txt")));
        QCOMPARE(toArray(items), kWithUuid);
    }

    void checkListJob_data() {
        QTest::addColumn<QString>("blkidExit");
        QTest::addColumn<QJsonArray>("expected");
        // The root cannot be mounted here: the list holds the partitions with a UUID only.
        // blkid's LVM member makes the inventory add vg0-swap, which has no UUID.
        QTest::newRow("inventory") << "0" << kWithUuid;
        QTest::newRow("blkid fails") << "1" << QJsonArray();
    }

    void checkListJob() {
        QFETCH(QString, blkidExit);
        QFETCH(QJsonArray, expected);
        qputenv("FAKE_BLKID_OUTPUT", QByteArray(FIXTURES_DIR "/recenv/blkid/checklist.txt"));
        qputenv("FAKE_BLKID_EXIT", blkidExit.toLocal8Bit());
        AsyncTask task(2);
        Spies spies(task);
        runToEnd(task);
        QCOMPARE(spies.fired(), QStringList{"getPartitionCheckItemFinish(QString):1"});
        const QString text = spies.at(3).first().first().toString();
        QVERIFY(text.contains("\n    \"PartitionCheckItemList\""));  // indented
        const QJsonObject document = QJsonDocument::fromJson(text.toUtf8()).object();
        QCOMPARE(document.keys(), QStringList{"PartitionCheckItemList"});
        QCOMPARE(document.value("PartitionCheckItemList").toArray(), expected);
    }
};

QTEST_GUILESS_MAIN(WorkerTest)
#include "tst_recenv_worker.moc"
