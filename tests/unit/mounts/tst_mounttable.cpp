#include <sys/sysmacros.h>

#include <QtTest>

#include "platform/mounts/mounttable.h"

// The kernel's mount table, read once for every question about mounts.
class MountTableTest : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void volumesOfThisMachine();
};

void MountTableTest::parse_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("expected");  // source|mount point|root|type|major:minor

    QTest::newRow("real root") << QByteArray(
                                      "29 1 254:1 / / rw,relatime shared:1 - ext4 "
                                      "/dev/vda1 rw,errors=remount-ro")
                               << "/dev/vda1|/|/|ext4|254:1";
    QTest::newRow("bind of a subdirectory, no optional fields")
        << QByteArray("40 29 8:3 /opt /box rw,relatime - ext4 /dev/sda3 rw")
        << "/dev/sda3|/box|/opt|ext4|8:3";
    QTest::newRow("several optional fields")
        << QByteArray(
               "41 29 0:45 / /run/user/0 rw shared:7 master:2 propagate_from:1 - tmpfs "
               "tmpfs rw,size=1k")
        << "tmpfs|/run/user/0|/|tmpfs|0:45";
    QTest::newRow("escaped blank, tab, new line and backslash")
        << QByteArray(
               "42 29 8:17 / /media/a\\040b\\011c\\012d\\134e rw - xfs /dev/my\\040disk "
               "rw")
        << "/dev/my disk|/media/a b\tc\nd\\e|/|xfs|8:17";
    QTest::newRow("no separator: paths only")
        << QByteArray("43 29 8:1 / /mnt rw") << "|/mnt|/||8:1";
    QTest::newRow("too short") << QByteArray("43 29 8:1 /") << "";
    QTest::newRow("empty line") << QByteArray("") << "";
}

void MountTableTest::parse() {
    QFETCH(QByteArray, line);
    QFETCH(QString, expected);
    const QList<MountEntry> entries = parseMountTable(line + "\n");
    QString got;
    if (!entries.isEmpty()) {
        const MountEntry& e = entries.first();
        got = QStringList{QString::fromUtf8(e.source), e.mountPoint, e.root, e.fsType,
                          QStringLiteral("%1:%2").arg(major(e.device)).arg(minor(e.device))}
                  .join('|');
    }
    QCOMPARE(got, expected);
}

// What QStorageInfo would list here: "/" is in, the kernel's own file systems are not.
void MountTableTest::volumesOfThisMachine() {
    QStringList mountPoints;
    for (const MountedVolume& volume : mountedVolumes([](const MountEntry&) { return true; })) {
        mountPoints << volume.mount.mountPoint;
        QVERIFY(volume.bytesTotal >= volume.bytesFree);
    }
    QVERIFY(mountPoints.contains("/"));
    for (const MountedVolume& root :
         mountedVolumes([](const MountEntry& m) { return m.mountPoint == "/"; })) {
        QCOMPARE(root.mount.mountPoint, QString("/"));
    }
    QVERIFY(!mountPoints.contains("/proc"));
    QVERIFY(!mountPoints.contains("/sys"));
    QVERIFY(!mountPoints.contains("/dev"));
}

QTEST_GUILESS_MAIN(MountTableTest)
#include "tst_mounttable.moc"
