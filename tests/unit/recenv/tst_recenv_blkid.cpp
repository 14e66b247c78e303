#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "common/fakeprograms.h"
#include "common/testfiles.h"
#include "standins.h"
#include "utils/utils/blkid.h"
#include "utils/utils/blkid_p.h"

using Utils::BlkIdInfo;

namespace {

// devicePath partUuid partLabel label uuid type labelFatboot ptUuid ptType
QStringList fieldsOf(const BlkIdInfo& info) {
    return {info.devicePath, info.partUuid,     info.partLabel, info.label, info.uuid,
            info.type,       info.labelFatboot, info.ptUuid,    info.ptType};
}

QStringList pathsOf(const QList<BlkIdInfo>& list) {
    QStringList paths;
    for (const BlkIdInfo& info : list) {
        paths.append(info.devicePath);
    }
    return paths;
}

QString fixtureLine(const QString& fixture, int index) {
    return readFixture("recenv/blkid/" + fixture).split('\n').value(index);
}

}  // namespace

// The blkid line parser and the inventory with a fake "sudo blkid" and a mapper directory
// of our own.
class BlkIdTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_mapper;
    QTemporaryDir m_work;

    void link(const QString& target, const QString& name) {
        QVERIFY(QFile::link(target, m_mapper.filePath(name)));
    }

private slots:
    void initTestCase() {
        QVERIFY(m_mapper.isValid());
        link("../dm-1", "vg0-root");
        link("../dm-2", "vg0-swap");
        link("../dm-3", "vg0-home");
        link("../dm-0", "luks-7c6b5a49-3827-4165-9f4e-3d2c1b0a9f8e");
        link("../sdb1", "not-a-volume");
        QFile control(m_mapper.filePath("control"));
        QVERIFY(control.open(QIODevice::WriteOnly));
        Utils::setMapperDirForTests(m_mapper.path());
    }

    void extractQuotedValue_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");

        QTest::newRow("plain") << "/dev/a: UUID=\"x1\" TYPE=\"ext4\""
                               << " UUID="
                               << "x1";
        QTest::newRow("empty value") << "/dev/a: LABEL=\"\" UUID=\"x1\""
                                     << " LABEL="
                                     << "";
        QTest::newRow("key missing") << "/dev/a: UUID=\"x1\""
                                     << " TYPE="
                                     << "";
        QTest::newRow("no opening quote, last key") << "/dev/a: UUID=\"x1\" PARTUUID=ab-01"
                                                    << " PARTUUID="
                                                    << "";
        QTest::newRow("no closing quote") << "/dev/a: UUID=\"x1\" PARTUUID=\"ab-01"
                                          << " PARTUUID="
                                          << "";
        QTest::newRow("value with blanks") << "/dev/a: PARTLABEL=\"EFI System Partition\""
                                           << "PARTLABEL="
                                           << "EFI System Partition";
        QTest::newRow("first occurrence wins") << "/dev/a: UUID=\"one\" UUID=\"two\""
                                               << " UUID="
                                               << "one";
    }

    void extractQuotedValue() {
        QFETCH(QString, text);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QCOMPARE(Utils::extractQuotedValue(text, key), value);
    }

    void parseLine_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("fields");

        QTest::newRow("PARTLABEL without LABEL, UUID apart from PARTUUID")
            << fixtureLine("gpt-plain.txt", 0)
            << QStringList{"/dev/sda1",
                           "5f3c2a4e-8d1b-4c7a-9e2f-0a1b2c3d4e5f",
                           "EFI System Partition",
                           "",
                           "A1B2-C3D4",
                           "vfat",
                           "",
                           "",
                           ""};
        QTest::newRow("LABEL and PARTLABEL") << fixtureLine("gpt-plain.txt", 1)
                                             << QStringList{"/dev/sda2",
                                                            "7e6d5c4b-3a29-4818-b7a6-9f8e7d6c5b4a",
                                                            "Boot",
                                                            "Boot",
                                                            "0c8d7e62-4f1a-4b3e-9d2c-6a5b4c3d2e1f",
                                                            "ext4",
                                                            "",
                                                            "",
                                                            ""};
        QTest::newRow("LABEL_FATBOOT before LABEL")
            << fixtureLine("gpt-plain.txt", 3)
            << QStringList{"/dev/sda4", "9c8b7a69-5847-4362-a1f0-e9d8c7b6a594",
                           "recovery",  "Backup",
                           "6E5D-4C3B", "vfat",
                           "RECOVERY",  "",
                           ""};
        QTest::newRow("whole disk, PTTYPE is no TYPE")
            << fixtureLine("gpt-plain.txt", 6)
            << QStringList{"/dev/sda", "", "", "",
                           "",         "", "", "e1d2c3b4-a596-4877-8695-a4b3c2d1e0f9",
                           "gpt"};
        QTest::newRow("PARTUUID only")
            << fixtureLine("mbr-odd.txt", 2)
            << QStringList{"/dev/sdb2", "5d7a8b2c-02", "", "", "", "", "", "", ""};
        QTest::newRow("unquoted last value")
            << fixtureLine("mbr-odd.txt", 3)
            << QStringList{"/dev/sdb3", "", "", "", "e2d1c0b9-a897-4654-b321-0fedcba98765",
                           "ext4",      "", "", ""};
        QTest::newRow("unclosed last value")
            << fixtureLine("mbr-odd.txt", 4)
            << QStringList{"/dev/sdb5", "", "", "", "0a1b2c3d-4e5f-4607-8819-2a3b4c5d6e7f",
                           "ext4",      "", "", ""};
    }

    void parseLine() {
        QFETCH(QString, line);
        QFETCH(QStringList, fields);
        QCOMPARE(fieldsOf(Utils::parseBlkIdLine(line)), fields);
    }

    void mapperVolumes() {
        QStringList names;
        QVERIFY(Utils::listMapperVolumes(m_mapper.path(), names));
        QCOMPARE(names, (QStringList{"luks-7c6b5a49-3827-4165-9f4e-3d2c1b0a9f8e", "vg0-home",
                                     "vg0-root", "vg0-swap"}));
        QVERIFY(!Utils::listMapperVolumes(m_mapper.filePath("absent"), names));
    }

    void inventory_data() {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<QStringList>("paths");

        QTest::newRow("no LVM: no mapper listing, lines without ':' dropped")
            << "gpt-plain.txt" << QStringList{"/dev/sda1", "/dev/sda2", "/dev/sda3", "/dev/sda4",
                                              "/dev/sda5", "/dev/sda",  "/dev/loop0"};
        QTest::newRow("LVM: volumes blkid left out appended once")
            << "lvm.txt"
            << QStringList{"/dev/nvme0n1p1",       "/dev/nvme0n1p2", "/dev/nvme0n1p3",
                           "/dev/mapper/vg0-root", "/dev/nvme0n1",   "/dev/mapper/vg0-home",
                           "/dev/mapper/vg0-swap"};
        QTest::newRow("LVM inside LUKS, type in lower case, luks names skipped")
            << "lvm-in-luks.txt"
            << QStringList{"/dev/sda1",
                           "/dev/sda2",
                           "/dev/sda3",
                           "/dev/mapper/luks-7c6b5a49-3827-4165-9f4e-3d2c1b0a9f8e",
                           "/dev/mapper/vg0-root",
                           "/dev/mapper/vg0-swap",
                           "/dev/sda",
                           "/dev/mapper/vg0-home"};
        QTest::newRow("odd lines")
            << "mbr-odd.txt"
            << QStringList{"/dev/sdb", "/dev/sdb1", "/dev/sdb2", "/dev/sdb3", "/dev/sdb5"};
    }

    void inventory() {
        QFETCH(QString, fixture);
        QFETCH(QStringList, paths);

        FakePrograms bin;
        installFakeBlkid(bin);
        qputenv("FAKE_BLKID_OUTPUT", QByteArray(FIXTURES_DIR "/recenv/blkid/") + fixture.toUtf8());
        qunsetenv("FAKE_BLKID_EXIT");

        QList<BlkIdInfo> list{BlkIdInfo{"/dev/stale", {}, {}, {}, {}, {}, {}, {}, {}}};
        QString error = "earlier\n";
        QVERIFY(Utils::getBlkIdInfoList(list, error));
        QCOMPARE(pathsOf(list), paths);
        QVERIFY(error.startsWith("earlier\nblkid: fake stderr"));
        // Appended volumes carry nothing but their path.
        for (const BlkIdInfo& info : list) {
            if (!readFixture("recenv/blkid/" + fixture).contains(info.devicePath + ":")) {
                QCOMPARE(fieldsOf(info).join(""), info.devicePath);
            }
        }
    }

    void blkidFails() {
        FakePrograms bin;
        installFakeBlkid(bin);
        qputenv("FAKE_BLKID_OUTPUT", QByteArray(FIXTURES_DIR "/recenv/blkid/gpt-plain.txt"));
        qputenv("FAKE_BLKID_EXIT", "2");
        QList<BlkIdInfo> list{BlkIdInfo{"/dev/stale", {}, {}, {}, {}, {}, {}, {}, {}}};
        QString error;
        QVERIFY(!Utils::getBlkIdInfoList(list, error));
        QVERIFY(list.isEmpty());
        QVERIFY(error.contains("blkid: fake stderr"));
        qunsetenv("FAKE_BLKID_EXIT");
    }

    void mapperListingFails() {
        FakePrograms bin;
        installFakeBlkid(bin);
        qputenv("FAKE_BLKID_OUTPUT", QByteArray(FIXTURES_DIR "/recenv/blkid/lvm.txt"));
        Utils::setMapperDirForTests(m_mapper.filePath("absent"));
        QList<BlkIdInfo> list;
        QString error;
        const bool ok = Utils::getBlkIdInfoList(list, error);
        Utils::setMapperDirForTests(m_mapper.path());
        QVERIFY(!ok);
        QCOMPARE(list.size(), 5);  // what blkid reported stays
    }
};

QTEST_GUILESS_MAIN(BlkIdTest)
#include "tst_recenv_blkid.moc"
