#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "common/testfiles.h"
#include "utils/utils/cmdline.h"

// The kernel command-line parsers and the boot modes, over fixture command lines and a
// by-uuid directory of our own.
class CmdLineTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_root;
    QString m_byUuid;
    QString m_fstab;

    QString cmdline(const QString& fixture) const {
        return readFixture("recenv/cmdline/" + fixture).replace("@TMP@", m_root.path());
    }

    void link(const QString& target, const QString& name) {
        QVERIFY2(QFile::link(target, m_root.filePath(name)), qPrintable(name));
    }

    void touch(const QString& name) {
        QFile file(m_root.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

private slots:
    void initTestCase() {
        QVERIFY(m_root.isValid());
        QDir root(m_root.path());
        QVERIFY(root.mkpath("dev/mapper"));
        QVERIFY(root.mkpath("dev/disk/by-uuid"));
        for (const char* node : {"dev/dm-0", "dev/dm-1", "dev/dm-2", "dev/sda3"}) {
            touch(node);
        }
        // The mapper names and the by-uuid entries point at the same dm nodes, relatively,
        // as udev makes them.
        link("../dm-0", "dev/mapper/vg0-root");
        link("../dm-2", "dev/mapper/vg0-data");
        link("../../dm-1", "dev/disk/by-uuid/11111111-aaaa-4bbb-8ccc-000000000001");
        link("../../dm-0", "dev/disk/by-uuid/5a4b3c2d-1e0f-4a9b-8c7d-6e5f4a3b2c1d");
        link("../../sda3", "dev/disk/by-uuid/3f1c9a2b-7d4e-4c8f-a1b2-c3d4e5f60718");
        touch("dev/disk/by-uuid/not-a-link");
        m_byUuid = m_root.filePath("dev/disk/by-uuid");

        m_fstab = m_root.filePath("fstab");
        QFile fstab(m_fstab);
        QVERIFY(fstab.open(QIODevice::WriteOnly));
        fstab.write(
            "# <file system> <mount point> <type> <options> <dump> <pass>\n"
            "UUID=3f1c9a2b-7d4e-4c8f-a1b2-c3d4e5f60718 /     ext4 errors=remount-ro 0 1\n"
            "UUID=5a4b3c2d-1e0f-4a9b-8c7d-6e5f4a3b2c1d /data ext4 defaults 0 2\n");
    }

    void parse_data() {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<QStringList>("fields");  // bootImage rootUuid boot bootFrom union
                                                  // liveMediaPath toram
        QTest::addColumn<int>("mode");

        QTest::newRow("root=UUID=, ro, quiet")
            << "installed.txt" << QStringList{"/boot/vmlinuz-6.1.0-18-amd64",
                                              "3f1c9a2b-7d4e-4c8f-a1b2-c3d4e5f60718",
                                              "",
                                              "",
                                              "",
                                              "",
                                              ""}
            << 0;
        QTest::newRow("root=PARTUUID= also names a UUID")
            << "partuuid.txt"
            << QStringList{"/vmlinuz-6.1.0-18-amd64", "5d7a8b2c-02", "", "", "", "", ""} << 1;
        QTest::newRow("mapper link resolved through by-uuid, not on /")
            << "mapper-root.txt" << QStringList{"/boot/vmlinuz-6.1.0-18-amd64",
                                                "5a4b3c2d-1e0f-4a9b-8c7d-6e5f4a3b2c1d",
                                                "",
                                                "",
                                                "",
                                                "",
                                                ""}
            << 1;
        QTest::newRow("mapper link no by-uuid entry matches")
            << "mapper-unmatched.txt"
            << QStringList{"/boot/vmlinuz-6.1.0-18-amd64", "", "", "", "", "", ""} << -1;
        QTest::newRow("plain partition path is no link")
            << "plain-partition.txt"
            << QStringList{"/boot/vmlinuz-6.1.0-18-amd64", "", "", "", "", "", ""} << -1;
        QTest::newRow("live overlay, newline on the last token")
            << "live-overlay.txt"
            << QStringList{"/live/vmlinuz-6.1.0-18-amd64", "", "live", "", "overlay", "", ""} << 2;
        QTest::newRow("live with another union falls through")
            << "live-aufs.txt" << QStringList{"/live/vmlinuz", "", "live", "", "aufs", "", ""}
            << -1;
        QTest::newRow("live squashfs in usr/dodivu")
            << "live-squashfs.txt"
            << QStringList{"/live/vmlinuz",      "", "live", "", "aufs", "usr/dodivu",
                           "filesystem.squashfs"}
            << 1;
        QTest::newRow("recovery live")
            << "recovery-live.txt" << QStringList{"/orvik/vmlinuz-6.1.0-18-amd64",
                                                  "",
                                                  "live",
                                                  "/dev/sda4",
                                                  "overlay",
                                                  "recovery_live",
                                                  ""}
            << 3;
        // Later tokens win, prefixes are case-sensitive, a value keeps only its part after
        // the last '='.
        QTest::newRow("overrides and odd values")
            << "overrides.txt" << QStringList{"/boot/vmlinuz", "0000-later",         "live", "", "",
                                              "usr/dodivu",    "filesystem.squashfs"}
            << 1;
    }

    void parse() {
        QFETCH(QString, fixture);
        QFETCH(QStringList, fields);
        QFETCH(int, mode);

        Utils::CmdLineInfo info;
        Utils::parseCmdLineInfo(cmdline(fixture), info, m_byUuid);
        const QStringList got{info.bootImage, info.rootUuid,      info.boot, info.bootFrom,
                              info.unionType, info.liveMediaPath, info.toram};
        QCOMPARE(got, fields);
        QCOMPARE(Utils::bootModeOf(info, m_fstab), mode);
    }

    void parseKeepsEarlierRootWhenDeviceIsNoLink() {
        Utils::CmdLineInfo info;
        info.rootUuid = "kept";
        Utils::parseCmdLineInfo(cmdline("plain-partition.txt"), info, m_byUuid);
        QCOMPARE(info.rootUuid, QString("kept"));
    }

    void bootModeWithoutFstab() {
        Utils::CmdLineInfo info;
        Utils::parseCmdLineInfo(cmdline("installed.txt"), info, m_byUuid);
        QCOMPARE(Utils::bootModeOf(info, m_root.filePath("no-such-fstab")), 1);
    }

    void liveRoot_data() {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<QString>("rootUuid");
        QTest::addColumn<QString>("bootType");

        // boot-from before root=UUID=: the scan ends at that root token.
        QTest::newRow("boot-from first") << "bootfrom-first.txt"
                                         << "6e2f0c1a-first"
                                         << "/dev/sdb1";
        // root first: every token is looked at, the later root wins.
        QTest::newRow("root first") << "root-first.txt"
                                    << "ffff-second"
                                    << "/dev/sdb1";
        // A mapper root does not end the token scan.
        QTest::newRow("mapper root then UUID") << "bootfrom-mapper.txt"
                                               << "after-mapper"
                                               << "/dev/sdb1";
        QTest::newRow("mapper root alone") << "mapper-root.txt"
                                           << "5a4b3c2d-1e0f-4a9b-8c7d-6e5f4a3b2c1d"
                                           << "";
        QTest::newRow("installed") << "installed.txt"
                                   << "3f1c9a2b-7d4e-4c8f-a1b2-c3d4e5f60718"
                                   << "";
        QTest::newRow("recovery live has no root") << "recovery-live.txt"
                                                   << ""
                                                   << "/dev/sda4";
    }

    void liveRoot() {
        QFETCH(QString, fixture);
        QFETCH(QString, rootUuid);
        QFETCH(QString, bootType);

        QString gotRoot = "stale";
        QString gotBoot = "stale";
        Utils::parseLiveRootUUIDAndBootType(cmdline(fixture), gotRoot, gotBoot, m_byUuid);
        QCOMPARE(gotRoot, rootUuid);
        QCOMPARE(gotBoot, bootType);
    }
};

QTEST_GUILESS_MAIN(CmdLineTest)
#include "tst_recenv_cmdline.moc"
