#include <time.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QtTest>

#include "common/fakeprograms.h"
#include "common/testfiles.h"
#include "standins.h"
#include "utils/utils/backuphistory.h"

namespace {

// A backup directory under root holding the named files.
void makeBackup(const QString& root, const QString& dir, const QStringList& files) {
    QVERIFY(QDir(root).mkpath(dir.mid(1)));
    for (const QString& name : files) {
        QVERIFY2(writeFile(root + dir + "/" + name, "x"), qPrintable(name));
    }
}

QStringList describe(const QList<BackupFileInfo>& list) {
    QStringList lines;
    for (const BackupFileInfo& info : list) {
        lines.append(
            QStringList{info.backupUUID, info.backupPath, info.backupTime, info.createTime}.join(
                '|'));
    }
    return lines;
}

void setTimeZone(const QByteArray& zone) {
    qputenv("TZ", zone);
    tzset();
}

}  // namespace

// Backup history over real directories, the task file read and removed once, and the
// locale of an installed system.
class BackupHistoryTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_mount;
    const QString m_uuid = "0d1c2b3a-4958-4677-8695-a4b3c2d1e0f9";

    QJsonObject times() const {
        return QJsonObject{
            {"1700000000", "/backups/2023-11-14"}, {"1700100000", "/backups/2023-11-16"},
            {"1690000000", "/backups/three-tars"}, {"1690000001", "/backups/no-osi"},
            {"1690000002", "/backups/no-tar"},     {"1690000003", "/backups/absent"},
            {"1600000000", "/backups/two-osi"}};
    }

private slots:
    void initTestCase() {
        // Mount points and partitions are left alone: no disk service answers here.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/orvik-test-bus");
        const QString root = m_mount.path();
        makeBackup(root, "/backups/2023-11-14", {"root.osi", "opt.tar", "var.tar"});
        makeBackup(root, "/backups/2023-11-16", {"root.osi", "boot.osi", "opt.tar", "var.tar"});
        makeBackup(root, "/backups/three-tars", {"root.osi", "a.tar", "b.tar", "c.tar"});
        makeBackup(root, "/backups/no-osi", {"opt.tar", "var.tar", "root.img"});
        makeBackup(root, "/backups/no-tar", {"root.osi"});
        makeBackup(root, "/backups/two-osi", {"root.osi", "boot.osi", "opt.tar", "var.tar"});
    }

    void cleanupTestCase() { qunsetenv("TZ"); }

    void scan_data() {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("UTC") << QByteArray("UTC0")
                             << QStringList{m_uuid + "|/backups/2023-11-16|2023/11/16|1700100000",
                                            m_uuid + "|/backups/2023-11-14|2023/11/14|1700000000",
                                            m_uuid + "|/backups/two-osi|2020/09/13|1600000000"};
        // 1700000000 is 22:13 UTC: the local date east of Greenwich is a day later.
        QTest::newRow("UTC+8") << QByteArray("CST-8")
                               << QStringList{m_uuid + "|/backups/2023-11-16|2023/11/16|1700100000",
                                              m_uuid + "|/backups/2023-11-14|2023/11/15|1700000000",
                                              m_uuid + "|/backups/two-osi|2020/09/13|1600000000"};
    }

    void scan() {
        QFETCH(QByteArray, zone);
        QFETCH(QStringList, expected);
        setTimeZone(zone);
        QList<BackupFileInfo> list;
        Utils::appendPartitionBackups(list, m_uuid, m_mount.path(), times());
        Utils::sortBackupsNewestFirst(list);
        QCOMPARE(describe(list), expected);
    }

    void sortsAsNumbersAcrossPartitions() {
        QList<BackupFileInfo> list{{"a", "/1", "", "999999999"},
                                   {"b", "/2", "", "1000000000"},
                                   {"c", "/3", "", "4294967295"},
                                   {"d", "/4", "", "not a number"}};
        Utils::sortBackupsNewestFirst(list);
        QStringList order;
        for (const BackupFileInfo& info : list) {
            order.append(info.backupUUID);
        }
        QCOMPARE(order, (QStringList{"c", "b", "a", "d"}));
    }

    void indexOfUnknownPartitions() {
        const QString index = m_mount.filePath("savePath.json");
        QVERIFY(writeFile(index, "{\"no-such-uuid\": {\"1700000000\": \"/backups/2023-11-14\"}}"));
        QList<BackupFileInfo> list{{"stale", "", "", ""}};
        Utils::getHistoryBackup(list, index, true);
        QVERIFY(list.isEmpty());
        using Pairs = QList<QPair<QString, QString>>;
        QVERIFY(Utils::getHistoryBackupPaths(index).value<Pairs>().isEmpty());
        QCOMPARE(Utils::mountDeviceByUUID(""), QString());
    }

    void recoveryJsonReadOnce_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QJsonObject>("expected");

        QTest::newRow("object") << QByteArray("{\"type\": 1, \"tasks\": [\"a\"]}\n")
                                << QJsonObject{{"type", 1}, {"tasks", QJsonArray{"a"}}};
        QTest::newRow("not JSON") << QByteArray("{\"type\": ") << QJsonObject{};
        QTest::newRow("array") << QByteArray("[1, 2]") << QJsonObject{};
        QTest::newRow("empty file") << QByteArray() << QJsonObject{};
    }

    void recoveryJsonReadOnce() {
        QFETCH(QByteArray, content);
        QFETCH(QJsonObject, expected);

        FakePrograms bin;
        bin.installScript("sudo", kPassThroughSudo);
        bin.installScript("rm", "exec /bin/rm \"$@\"");
        QTemporaryDir dir;
        const QString path = dir.filePath("backup dir/recovery.json");
        QVERIFY(writeFile(path, content));

        QJsonObject object{{"old", true}};
        QVERIFY(Utils::getRecoveryJsonInfo(object, path));
        QCOMPARE(object, expected);
        QVERIFY(!QFile::exists(path));

        // Consumed: a second read finds nothing, leaves the object and runs nothing.
        QJsonObject again{{"old", true}};
        QVERIFY(!Utils::getRecoveryJsonInfo(again, path));
        QCOMPARE(again, (QJsonObject{{"old", true}}));
        QCOMPARE(bin.calls("rm"), (QList<QStringList>{{"-f", path}}));
    }

    void locale_data() {
        QTest::addColumn<QStringList>("files");  // path=content pairs under the root
        QTest::addColumn<bool>("slash");
        QTest::addColumn<bool>("found");
        QTest::addColumn<QString>("locale");

        const QString locale = "etc/default/locale=LANG=\"en_US.UTF-8\"\n\nLANGUAGE=zh_CN:en\n";
        QTest::newRow("locale file") << QStringList{locale} << false << true << "zh_CN:en";
        QTest::newRow("locale file, root with /")
            << QStringList{locale} << true << true << "zh_CN:en";
        QTest::newRow("quotes and blanks kept")
            << QStringList{"etc/default/locale=LANGUAGE=\"en_US\" \n"} << false << true
            << "\"en_US\" ";
        QTest::newRow("no LANGUAGE: new installer file")
            << QStringList{"etc/default/locale=LANG=C\n",
                           "etc/orvik-installer/orvik-installer.conf=A=1\nOI_LOCALE=en_US\n",
                           "etc/orvik-installer.conf=OI_LOCALE=old\n"}
            << true << true << "en_US";
        QTest::newRow("old installer file")
            << QStringList{"etc/orvik-installer.conf=OI_LOCALE=zh_CN\n"} << false << true
            << "zh_CN";
        // The new file is the installer's file once it exists, even without the key.
        QTest::newRow("new installer file without the key")
            << QStringList{"etc/orvik-installer/orvik-installer.conf=A=1\n",
                           "etc/orvik-installer.conf=OI_LOCALE=old\n"}
            << false << false << "";
        QTest::newRow("nothing") << QStringList{} << false << false << "";
    }

    void locale() {
        QFETCH(QStringList, files);
        QFETCH(bool, slash);
        QFETCH(bool, found);
        QFETCH(QString, locale);

        QTemporaryDir root;
        for (const QString& file : files) {
            const int eq = file.indexOf('=');
            QVERIFY(writeFile(root.filePath(file.left(eq)), file.mid(eq + 1).toUtf8()));
        }
        QString got = "stale";
        QCOMPARE(Utils::getLocale(root.path() + (slash ? "/" : ""), got), found);
        QCOMPARE(got, locale);
    }

    void localeWithoutRoot() {
        QString got = "stale";
        QVERIFY(!Utils::getLocale("", got));
        QVERIFY(got.isEmpty());
    }
};

QTEST_GUILESS_MAIN(BackupHistoryTest)
#include "tst_recenv_backup.moc"
