#include <QTemporaryDir>
#include <QtTest>

#include "common/messagecapture.h"
#include "common/testfiles.h"
#include "utils/FsTab/fstab.h"

namespace {

FSTabInfoPtr entry(const QString& device, const QString& mountPoint, const QString& options) {
    FSTabInfoPtr info(new FSTabInfo);
    info->device = device;
    info->mountPoint = mountPoint;
    info->options = options;
    info->line = device + " " + mountPoint;
    return info;
}

FSTabInfoPtr comment(const QString& text) {
    FSTabInfoPtr info(new FSTabInfo);
    info->isComment = true;
    info->line = text;
    return info;
}

const QString kFixture = fixturePath("fstab/installed.fstab");

}  // namespace

class FsTabTest : public QObject {
    Q_OBJECT

private slots:
    void parseLine_data();
    void parseLine();
    void lineCount_data();
    void lineCount();
    void getUUID_data();
    void getUUID();
    void fixtureReading();
    void findByUUID_data();
    void findByUUID();
    void findByMountPoint();
    void containsUUID_data();
    void containsUUID();
    void uuidListKeepsDuplicatesAndDropsBinds();
    void bindMap();
    void emptyListAnswers();
    void isRootUUID_data();
    void isRootUUID();
    void missingFileWarns();
    void unreadableFileIsSilent();
    void textModeDropsCarriageReturns();
};

void FsTabTest::parseLine_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("isComment");
    QTest::addColumn<bool>("isEmptyLine");
    QTest::addColumn<QStringList>("columns");  // device, mountPoint, type, options, dump, pass
    QTest::addColumn<QString>("line");

    const QStringList none{"", "", "", "", "0", "0"};
    const QStringList root{"UUID=abc", "/", "ext4", "defaults", "0", "1"};

    QTest::newRow("single blanks") << QByteArray("UUID=abc / ext4 defaults 0 1") << false << false
                                   << root << "UUID=abc / ext4 defaults 0 1";
    QTest::newRow("tabs") << QByteArray("UUID=abc\t/\text4\tdefaults\t0\t1") << false << false
                          << root << "UUID=abc\t/\text4\tdefaults\t0\t1";
    QTest::newRow("mixed blanks") << QByteArray("  UUID=abc \t /\t\t ext4   defaults\t 0  1  ")
                                  << false << false << root
                                  << "  UUID=abc \t /\t\t ext4   defaults\t 0  1  ";
    QTest::newRow("comment") << QByteArray("#UUID=abc / ext4 defaults 0 1") << true << false << none
                             << "#UUID=abc / ext4 defaults 0 1";
    QTest::newRow("comment after blanks keeps them")
        << QByteArray("  \t# old root") << true << false << none << "  \t# old root";
    QTest::newRow("blank line") << QByteArray(" \t ") << false << true << none << "";
    QTest::newRow("trailing comment is seven pieces")
        << QByteArray("UUID=abc / ext4 defaults 0 1 # root") << false << false << none
        << "UUID=abc / ext4 defaults 0 1 # root";
    QTest::newRow("five columns") << QByteArray("UUID=abc / ext4 defaults 0") << false << false
                                  << none << "UUID=abc / ext4 defaults 0";
    QTest::newRow("bind") << QByteArray("/data/home\t/home none bind 0 0") << false << false
                          << QStringList{"/data/home", "/home", "none", "bind", "0", "0"}
                          << "/data/home\t/home none bind 0 0";
    QTest::newRow("text stops at NUL") << QByteArray("UUID=abc / ext4 defaults 0 1\0 x y", 34)
                                       << false << false << root << "UUID=abc / ext4 defaults 0 1";
    QTest::newRow("utf-8 mount point")
        << QByteArray("UUID=abc /media/d\xc3\xa4ten ext4 defaults 0 2") << false << false
        << QStringList{"UUID=abc", QString::fromUtf8("/media/d\xc3\xa4ten"),
                       "ext4",     "defaults",
                       "0",        "2"}
        << QString::fromUtf8("UUID=abc /media/d\xc3\xa4ten ext4 defaults 0 2");
}

void FsTabTest::parseLine() {
    QFETCH(QByteArray, input);
    QFETCH(bool, isComment);
    QFETCH(bool, isEmptyLine);
    QFETCH(QStringList, columns);
    QFETCH(QString, line);

    const FSTabInfoList list = FSTab::parseFSTab(input);
    QCOMPARE(list.size(), 1);
    const FSTabInfoPtr info = list.first();
    QCOMPARE(info->isComment, isComment);
    QCOMPARE(info->isEmptyLine, isEmptyLine);
    const QStringList got{info->device,  info->mountPoint, info->type,
                          info->options, info->dump,       info->pass};
    QCOMPARE(got, columns);
    QCOMPARE(info->line, line);
}

void FsTabTest::lineCount_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("count");
    QTest::addColumn<bool>("lastIsEmpty");

    QTest::newRow("empty text") << QByteArray() << 1 << true;
    QTest::newRow("one line without break") << QByteArray("a b c d 0 0") << 1 << false;
    QTest::newRow("final break adds an empty entry") << QByteArray("a b c d 0 0\n") << 2 << true;
    QTest::newRow("blank lines in between") << QByteArray("# x\n\n\na b c d 0 0") << 4 << false;
}

void FsTabTest::lineCount() {
    QFETCH(QByteArray, input);
    QFETCH(int, count);
    QFETCH(bool, lastIsEmpty);

    const FSTabInfoList list = FSTab::parseFSTab(input);
    QCOMPARE(list.size(), count);
    QCOMPARE(list.last()->isEmptyLine, lastIsEmpty);
}

void FsTabTest::getUUID_data() {
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("uuid");

    QTest::newRow("uuid") << "UUID=5d1c4a8e-0f43"
                          << "5d1c4a8e-0f43";
    QTest::newRow("fat serial") << "UUID=1A2B-3C4D"
                                << "1A2B-3C4D";
    QTest::newRow("empty value") << "UUID="
                                 << "";
    QTest::newRow("value holding =") << "UUID=a=b"
                                     << "";
    QTest::newRow("doubled = collapses") << "UUID==abc"
                                         << "abc";
    QTest::newRow("lower case key") << "uuid=abc"
                                    << "";
    QTest::newRow("label") << "LABEL=root"
                           << "";
    QTest::newRow("partuuid") << "PARTUUID=abc"
                              << "";
    QTest::newRow("device path") << "/dev/sda1"
                                 << "";
    QTest::newRow("empty device") << ""
                                  << "";
}

void FsTabTest::getUUID() {
    QFETCH(QString, device);
    QFETCH(QString, uuid);
    QCOMPARE(FSTab::getUUID(entry(device, "/", "defaults")), uuid);
}

void FsTabTest::fixtureReading() {
    const FSTabInfoList list = FSTab::getFSTabFromFile(kFixture);
    QCOMPARE(list.size(), 23);
    QVERIFY(list.at(0)->isComment);
    QCOMPARE(list.at(1)->device, QString("UUID=5d1c4a8e-0f43-4c55-9a11-2b7f3c9e0a01"));
    QCOMPARE(list.at(1)->mountPoint, QString("/"));
    QCOMPARE(list.at(1)->pass, QString("1"));
    QCOMPARE(list.at(4)->mountPoint, QString("/boot/efi"));
    QVERIFY(list.at(2)->isEmptyLine);
    QCOMPARE(list.at(15)->options, QString("defaults,bind"));
    QVERIFY(list.last()->isEmptyLine);
}

void FsTabTest::findByUUID_data() {
    QTest::addColumn<QString>("uuid");
    QTest::addColumn<int>("index");  // -1: no entry

    QTest::newRow("first of two with the same uuid") << "u1" << 1;
    QTest::newRow("bind entries are not excluded") << "u3" << 4;
    QTest::newRow("comments never match") << "u9" << -1;
    QTest::newRow("unknown") << "nope" << -1;
    QTest::newRow("empty uuid gives the first entry without one") << "" << 3;
}

void FsTabTest::findByUUID() {
    QFETCH(QString, uuid);
    QFETCH(int, index);

    const FSTabInfoList list{
        comment("#UUID=u9 / ext4 defaults 0 1"),   entry("UUID=u1", "/", "subvol=@"),
        entry("UUID=u1", "/home", "subvol=@home"), entry("/dev/sdb1", "/srv", "defaults"),
        entry("UUID=u3", "/mnt", "bind"),          entry("LABEL=x", "/x", "defaults")};
    const FSTabInfoPtr found = FSTab::findByUUID(list, uuid);
    if (index < 0) {
        QVERIFY(found.isNull());
    } else {
        QCOMPARE(found.data(), list.at(index).data());
    }
}

void FsTabTest::findByMountPoint() {
    const FSTabInfoList list = FSTab::getFSTabFromFile(kFixture);
    const FSTabInfoPtr boot = FSTab::findByMountPoint(list, "/boot");
    QVERIFY(!boot.isNull());
    QCOMPARE(FSTab::getUUID(boot), QString("9e8f7a6b-1111-4222-8333-444455556666"));
    QCOMPARE(FSTab::findByMountPoint(list, "/home")->device, QString("/data/home"));
    QVERIFY(FSTab::findByMountPoint(list, "/boot/").isNull());
    // Blank lines have an empty mount point but are not real entries.
    QVERIFY(FSTab::findByMountPoint(list, "").isNull());
}

void FsTabTest::containsUUID_data() {
    QTest::addColumn<QString>("uuid");
    QTest::addColumn<bool>("contained");

    QTest::newRow("plain entry") << "u1" << true;
    QTest::newRow("only as a bind entry") << "u3" << false;
    QTest::newRow("only in a comment") << "u9" << false;
    QTest::newRow("case differs") << "U1" << false;
}

void FsTabTest::containsUUID() {
    QFETCH(QString, uuid);
    QFETCH(bool, contained);

    const FSTabInfoList list{comment("#UUID=u9 / ext4 defaults 0 1"),
                             entry("UUID=u1", "/", "defaults"), entry("UUID=u3", "/mnt", "rbind")};
    QCOMPARE(FSTab::containsUUID(uuid, list), contained);
}

void FsTabTest::uuidListKeepsDuplicatesAndDropsBinds() {
    const FSTabInfoList list = FSTab::parseFSTab(
        "UUID=u1 / btrfs subvol=@ 0 0\n"
        "# UUID=u0 /old ext4 defaults 0 0\n"
        "UUID=u1 /home btrfs subvol=@home 0 0\n"
        "UUID=u2 /mnt none bind 0 0\n"
        "LABEL=l /l ext4 defaults 0 0\n"
        "UUID=u4 /data ext4 defaults 0\n"
        "UUID=u5 /srv xfs defaults 0 2\n");
    QCOMPARE(FSTab::getUUIDList(list), (QStringList{"u1", "u1", "u5"}));

    QCOMPARE(FSTab::getUUIDList(FSTab::getFSTabFromFile(kFixture)),
             (QStringList{
                 "5d1c4a8e-0f43-4c55-9a11-2b7f3c9e0a01", "1A2B-3C4D",
                 "9e8f7a6b-1111-4222-8333-444455556666", "c0ffee00-aaaa-4bbb-8ccc-dddddddddddd",
                 "0f0f0f0f-2222-4333-8444-555555555555", "77777777-8888-4999-aaaa-bbbbbbbbbbbb"}));
}

void FsTabTest::bindMap() {
    QMap<QString, QString> map{{"/stale", "/old/"}};
    FSTab::getBindMap(FSTab::getFSTabFromFile(kFixture), map);
    const QMap<QString, QString> expected{{"/home", "/data/home/"},
                                          {"/opt", "/data/opt/"},
                                          {"/root", "/data/root/"},
                                          {"/var", "/data/var/"}};
    QCOMPARE(map, expected);

    FSTab::getBindMap(FSTab::parseFSTab("/a /home none bind 0 0\n/b /home none bind 0 0\n"), map);
    QCOMPARE(map, (QMap<QString, QString>{{"/home", "/b/"}}));
}

void FsTabTest::emptyListAnswers() {
    const FSTabInfoList empty;
    QVERIFY(FSTab::findByUUID(empty, "").isNull());
    QVERIFY(FSTab::findByMountPoint(empty, "/").isNull());
    QVERIFY(!FSTab::containsUUID("", empty));
    QVERIFY(FSTab::getUUIDList(empty).isEmpty());
    QMap<QString, QString> map{{"/x", "/y/"}};
    FSTab::getBindMap(empty, map);
    QVERIFY(map.isEmpty());
}

void FsTabTest::isRootUUID_data() {
    QTest::addColumn<QByteArray>("fstab");
    QTest::addColumn<QString>("uuid");
    QTest::addColumn<bool>("isRoot");

    const QByteArray plain = "UUID=r / ext4 defaults 0 1\nUUID=h /home ext4 defaults 0 2\n";
    QTest::newRow("root entry") << plain << "r" << true;
    QTest::newRow("other entry") << plain << "h" << false;
    QTest::newRow("unknown uuid") << plain << "x" << false;
    // The first entry of a uuid decides, even when a later one mounts it on "/".
    QTest::newRow("first entry decides")
        << QByteArray("UUID=s /home btrfs subvol=@home 0 0\nUUID=s / btrfs subvol=@ 0 0\n") << "s"
        << false;
    QTest::newRow("root only in a comment")
        << QByteArray("#UUID=r / ext4 defaults 0 1\n") << "r" << false;
}

void FsTabTest::isRootUUID() {
    QFETCH(QByteArray, fstab);
    QFETCH(QString, uuid);
    QFETCH(bool, isRoot);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(writeFile(root.path() + "/etc/fstab", fstab));
    QCOMPARE(FSTab::isRootUUID(uuid, root.path()), isRoot);
}

void FsTabTest::missingFileWarns() {
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString missing = root.path() + "/etc/fstab";
    MessageCapture capture;
    QVERIFY(FSTab::getFSTabFromFile(missing).isEmpty());
    QVERIFY(!FSTab::isRootUUID("r", root.path()));
    const QList<LoggedMessage> records = capture.messages();
    QCOMPARE(records.size(), 2);
    for (const LoggedMessage& record : records) {
        QCOMPARE(record.type, QtWarningMsg);
        QVERIFY2(record.text.startsWith("getFSTabFromFile file not exists, fileName: "),
                 qPrintable(record.text));
        QVERIFY2(record.text.contains(missing), qPrintable(record.text));
    }
}

void FsTabTest::unreadableFileIsSilent() {
    // A directory exists but cannot be opened as a file; root may read any plain file.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    MessageCapture capture;
    QVERIFY(FSTab::getFSTabFromFile(dir.path()).isEmpty());
    QVERIFY(capture.messages().isEmpty());
}

void FsTabTest::textModeDropsCarriageReturns() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.path() + "/fstab";
    QVERIFY(writeFile(path, "UUID=r / ext4 defaults 0 1\r\n"));
    const FSTabInfoList list = FSTab::getFSTabFromFile(path);
    QCOMPARE(list.size(), 2);
    QCOMPARE(list.first()->pass, QString("1"));
    QCOMPARE(list.first()->line, QString("UUID=r / ext4 defaults 0 1"));
}

QTEST_GUILESS_MAIN(FsTabTest)
#include "tst_fstab.moc"
