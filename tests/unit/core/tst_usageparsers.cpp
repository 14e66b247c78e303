// The pure readers of the usage tools' output, on output captured from the real tools
// (tests/fixtures/usage, see capture.sh there) and on hand-made variants of it.

#include <QtTest>

#include "common/messagecapture.h"
#include "common/testfiles.h"
#include "usagefixtures.h"
#include "utils/core/partitionusage/partitionusage.h"
#include "utils/core/partitionusage/usageparsers.h"

enum class Parser { Ext, Ntfs, Reiser4, Jfs, Nilfs2, Reiserfs, Xfs, Btrfs, Fat };
Q_DECLARE_METATYPE(Parser)

namespace {

const qint64 kUnchecked = -2;
const qint64 kSentinel = 777;

bool runParser(Parser parser, const QString& out, const QString& path, qint64& freespace,
               qint64& total) {
    switch (parser) {
        case Parser::Ext:
            return ParseExtUsage(out, freespace, total);
        case Parser::Ntfs:
            return ParseNtfsUsage(out, freespace, total);
        case Parser::Reiser4:
            return ParseReiser4Usage(out, freespace, total);
        case Parser::Jfs:
            return ParseJfsUsage(out, freespace, total);
        case Parser::Nilfs2:
            return ParseNilfs2Usage(out, freespace, total);
        case Parser::Reiserfs:
            return ParseReiserfsUsage(out, freespace, total);
        case Parser::Xfs:
            return ParseXfsUsage(out, freespace, total);
        case Parser::Btrfs:
            return ParseBtrfsUsage(out, path, freespace, total);
        case Parser::Fat:
            return ParseFatUsage(out, path, freespace, total);
    }
    return false;
}

// A row from a captured fixture, given to the tool as the device it was captured from.
void fixtureRow(const char* name, Parser parser, const QString& fixture, bool ok, qint64 freespace,
                qint64 total) {
    QTest::newRow(name) << parser << readUsageFixture(fixture + ".txt") << fixtureDevice(fixture)
                        << ok << freespace << total;
}

void madeRow(const char* name, Parser parser, const QString& out, bool ok,
             qint64 freespace = kUnchecked, qint64 total = kUnchecked,
             const QString& path = "/dev/sdb1") {
    QTest::newRow(name) << parser << out << path << ok << freespace << total;
}

// The captured output with one line dropped or replaced.
QString edited(const QString& fixture, const QString& from, const QString& to = QString()) {
    QString text = readUsageFixture(fixture + ".txt");
    const int at = text.indexOf(from);
    if (at < 0) {
        qFatal("%s not in %s", qPrintable(from), qPrintable(fixture));
    }
    const int end = text.indexOf('\n', at);
    return text.replace(at, end - at, to);
}

}  // namespace

class UsageParsersTest : public QObject {
    Q_OBJECT

private slots:
    void parsers_data();
    void parsers();
    void sizeText_data();
    void sizeText();
    void captureFirstGroup_data();
    void captureFirstGroup();
    void swaps_data();
    void swaps();
    void swapUsage();
    void readFile();
};

void UsageParsersTest::parsers_data() {
    QTest::addColumn<Parser>("parser");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<qint64>("freespace");
    QTest::addColumn<qint64>("total");

    // Captured: figures as the tool printed them, times its block size.
    fixtureRow("ext2", Parser::Ext, "dumpe2fs-ext2", true, 53953LL * 1024, 65536LL * 1024);
    fixtureRow("ext3", Parser::Ext, "dumpe2fs-ext3", true, 49840LL * 1024, 65536LL * 1024);
    fixtureRow("ext4", Parser::Ext, "dumpe2fs-ext4", true, 49879LL * 1024, 65536LL * 1024);
    fixtureRow("ntfs", Parser::Ntfs, "ntfsinfo", true, 14210LL * 4096, 16383LL * 4096);
    fixtureRow("ntfs full", Parser::Ntfs, "ntfsinfo-full", true, 0, 4095LL * 4096);
    fixtureRow("reiser4", Parser::Reiser4, "debugfs.reiser4", true, 32742LL * 4096, 32768LL * 4096);
    fixtureRow("jfs", Parser::Jfs, "jfs_debugfs", true, 0x3ea9LL * 4096, 0x3eccLL * 4096);
    fixtureRow("nilfs2", Parser::Nilfs2, "nilfs-tune", true, 36864LL * 4096, 167772160);
    fixtureRow("reiserfs", Parser::Reiserfs, "debugreiserfs", true, 8172LL * 4096, 16384LL * 4096);
    fixtureRow("xfs", Parser::Xfs, "xfs_db-sb-print", true, 58848LL * 4096, 76800LL * 4096);
    // 6.14MiB in single precision is 6438256 bytes.
    fixtureRow("btrfs", Parser::Btrfs, "btrfs-show", true, 268435456 - 6438256, 268435456);
    fixtureRow("btrfs, second of two devices", Parser::Btrfs, "btrfs-show-two-devices", true,
               314572800 - 6438256, 314572800);
    fixtureRow("fat16 with 3 files", Parser::Fat, "dosfsck-fat16", true,
               2048LL * 32695 - 149504 - 2048LL * 3072, 2048LL * 32695);
    fixtureRow("fat32", Parser::Fat, "dosfsck-fat32", true, 512LL * 258078 - 2081792 - 512,
               512LL * 258078);

    // ext: dumpe2fs succeeding is enough; lines overwrite, other counts are not taken.
    madeRow("ext example", Parser::Ext,
            "Block count:              1000\nFree blocks:              250\n"
            "Block size:               4096\n",
            true, 1024000, 4096000);
    madeRow("ext without lines", Parser::Ext, "", true, 0, 0);
    madeRow("ext later line wins", Parser::Ext,
            "Block count: 10\nBlock size: 512\nBlock count: 20\nReserved block count: 99\n", true,
            0, 10240);
    madeRow("ext empty capture keeps value", Parser::Ext,
            "Block count: 10\nBlock size: 512\nBlock count:\n", true, 0, 5120);
    madeRow("ext product beyond 64 bits", Parser::Ext,
            "Block count: 9000000000000000000\nBlock size: 4096\n", false);

    madeRow("ntfs without free clusters", Parser::Ntfs, edited("ntfsinfo", "Free Clusters:"),
            false);
    madeRow("ntfs cluster size 0", Parser::Ntfs,
            edited("ntfsinfo", "Cluster Size:", "\tCluster Size: 0"), false);
    madeRow("ntfs without volume size", Parser::Ntfs,
            edited("ntfsinfo", "Volume Size in Clusters:"), false);

    madeRow("reiser4 without blksize", Parser::Reiser4, edited("debugfs.reiser4", "blksize:"),
            false);
    madeRow("reiser4 blocks not a number", Parser::Reiser4,
            edited("debugfs.reiser4", "blocks:", "blocks:\t\tmany"), false);
    madeRow("reiser4 indented keys do not start the line", Parser::Reiser4,
            "  blksize: 4096\n  blocks: 10\n  free blocks: 5\n", false);

    madeRow("jfs without 0x", Parser::Jfs,
            "Aggregate Block Size: 4096\n[1] dn_mapsize:\t\t3ecc\n[2] dn_nfree:\t\tff\n", true,
            0xffLL * 4096, 0x3eccLL * 4096);
    madeRow("jfs with 0X", Parser::Jfs,
            "Aggregate Block Size: 512\n[1] dn_mapsize: 0X10\n[2] dn_nfree: 0x8\n", true, 8 * 512,
            16 * 512);
    madeRow("jfs without block size", Parser::Jfs, edited("jfs_debugfs", "Aggregate Block Size:"),
            false);
    madeRow("jfs map size not hexadecimal", Parser::Jfs,
            edited("jfs_debugfs", "[1] dn_mapsize:", "[1] dn_mapsize:\t\tzz"), false);

    madeRow("nilfs2 without device size", Parser::Nilfs2, edited("nilfs-tune", "Device size:"),
            false);
    madeRow("nilfs2 without free blocks", Parser::Nilfs2,
            edited("nilfs-tune", "Free blocks count:"), false);
    madeRow("nilfs2 with no free block", Parser::Nilfs2,
            edited("nilfs-tune", "Free blocks count:", "Free blocks count:\t  0"), true, 0,
            167772160);
    madeRow("nilfs2 without block size", Parser::Nilfs2, edited("nilfs-tune", "Block size:"),
            false);

    madeRow("reiserfs without block count", Parser::Reiserfs,
            edited("debugreiserfs", "Count of blocks on the device:"), false);
    madeRow("reiserfs without free blocks", Parser::Reiserfs,
            edited("debugreiserfs", "Free blocks (count"), false);

    madeRow("xfs empty output", Parser::Xfs, "", false);
    madeRow("xfs without blocksize", Parser::Xfs, edited("xfs_db-sb-print", "blocksize ="), false);
    madeRow("xfs fdblocks is not dblocks", Parser::Xfs,
            "dblocks = 100\nfdblocks = 40\nblocksize = 4096\n", true, 40 * 4096, 100 * 4096);
    madeRow("xfs full", Parser::Xfs, "blocksize = 4096\ndblocks = 100\nfdblocks = 0\n", true, 0,
            100 * 4096);

    const QString btrfsHead = "Label: none  uuid: f21152fb-7005-476e-b520-cf147479fff7\n";
    madeRow("btrfs first of two devices", Parser::Btrfs,
            readUsageFixture("btrfs-show-two-devices.txt"), true, 209715200 - 6438256, 209715200,
            "/dev/loop5");
    madeRow("btrfs used beyond size", Parser::Btrfs,
            btrfsHead +
                "\tTotal devices 1 FS bytes used 2.00GiB\n"
                "\tdevid    1 size 1.00GiB used 1.00GiB path /dev/sdb1\n",
            false, -1073741824, 1073741824);
    madeRow("btrfs path not listed", Parser::Btrfs, readUsageFixture("btrfs-show.txt"), false,
            kUnchecked, -1, "/dev/sdz9");
    madeRow("btrfs one-digit size reads as 0", Parser::Btrfs,
            btrfsHead +
                "\tTotal devices 1 FS bytes used 0.00B\n"
                "\tdevid    1 size 7GiB used 0.00B path /dev/sdb1\n",
            true, 1, 0);

    madeRow("fat example", Parser::Fat,
            "      4096 bytes per cluster\nData area starts at byte 1064960 (sector 2080)\n"
            "/dev/sdb1: 13 files, 3/130812 clusters\n",
            true, 4096LL * 130812 - 1064960 - 4096 * 3, 4096LL * 130812);
    madeRow("fat without data area line", Parser::Fat,
            edited("dosfsck-fat16", "Data area starts at"), true, 2048LL * 32695 - 2048LL * 3072,
            2048LL * 32695, fixtureDevice("dosfsck-fat16"));
    madeRow("fat without summary line", Parser::Fat,
            edited("dosfsck-fat16", fixtureDevice("dosfsck-fat16") + ":"), false, kUnchecked,
            kUnchecked, fixtureDevice("dosfsck-fat16"));
    madeRow("fat short line naming the path", Parser::Fat,
            "2048 bytes per cluster\n/dev/sdb1: broken\n", false);
    madeRow("fat nothing read", Parser::Fat, "", false);
}

void UsageParsersTest::parsers() {
    QFETCH(Parser, parser);
    QFETCH(QString, out);
    QFETCH(QString, path);
    QFETCH(bool, ok);
    QFETCH(qint64, freespace);
    QFETCH(qint64, total);

    qint64 gotFree = kSentinel;
    qint64 gotTotal = kSentinel;
    QCOMPARE(runParser(parser, out, path, gotFree, gotTotal), ok);
    if (freespace != kUnchecked) {
        QCOMPARE(gotFree, freespace);
    }
    if (total != kUnchecked) {
        QCOMPARE(gotTotal, total);
    }
}

void UsageParsersTest::sizeText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("bytes");

    QTest::newRow("20.00GiB") << "20.00GiB" << 21474836480LL;
    QTest::newRow("512.00MiB") << "512.00MiB" << 536870912LL;
    QTest::newRow("1.5TiB") << "1.5TiB" << 1649267441664LL;
    QTest::newRow("7GiB needs two digits") << "7GiB" << 0LL;
    QTest::newRow("0.00B has no unit") << "0.00B" << -1LL;
    QTest::newRow("144.00KiB") << "144.00KiB" << 147456LL;
    QTest::newRow("1.00PiB") << "1.00PiB" << (1LL << 50);
    QTest::newRow("6.14MiB in single precision") << "6.14MiB" << 6438256LL;
    QTest::newRow("empty") << "" << -1LL;
    QTest::newRow("null") << QString() << -1LL;
    QTest::newRow("first unit in search order") << "10.00GiB 3.00MiB" << 10485760LL;
    QTest::newRow("number not at the start") << " 10.00GiB" << 0LL;
    QTest::newRow("beyond 64 bits") << "99999999.00PiB" << -1LL;
    QTest::newRow("just below 2^63") << "8191.00PiB" << 8191LL * (1LL << 50);
}

void UsageParsersTest::sizeText() {
    QFETCH(QString, text);
    QFETCH(qint64, bytes);
    QCOMPARE(ParseSizeText(text), bytes);
}

void UsageParsersTest::captureFirstGroup_data() {
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("captured");
    QTest::addColumn<bool>("isNull");

    QTest::newRow("line start after a line feed") << "^b(\\d)"
                                                  << "a1\nb2\nb3"
                                                  << "2" << false;
    QTest::newRow("line end") << "(\\w+)$"
                              << "ab cd\nef"
                              << "cd" << false;
    QTest::newRow("no match") << "x(\\d)"
                              << "abc"
                              << "" << true;
    // Backtracking gives the blank to the trailing \s: an empty capture, which is not null.
    QTest::newRow("empty capture") << "size\\s*([^\\s]*)\\s"
                                   << "size  next"
                                   << "" << false;
    QTest::newRow("size needs a blank after it") << "size\\s*([^\\s]*)\\s"
                                                 << "devid 1 size 256.00MiB"
                                                 << "" << false;
    QTest::newRow("size followed by used") << "size\\s*([^\\s]*)\\s"
                                           << "devid 1 size 256.00MiB used 88.00MiB"
                                           << "256.00MiB" << false;
    QTest::newRow("invalid pattern") << "("
                                     << "("
                                     << "" << true;
}

void UsageParsersTest::captureFirstGroup() {
    QFETCH(QString, pattern);
    QFETCH(QString, text);
    QFETCH(QString, captured);
    QFETCH(bool, isNull);
    const QString got = CaptureFirstGroup(pattern, text);
    QCOMPARE(got, captured);
    QCOMPARE(got.isNull(), isNull);
}

void UsageParsersTest::swaps_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("items");  // filename type size used priority

    const QString heading = readUsageFixture("proc-swaps-host.txt");
    QTest::newRow("heading only (captured)") << heading << QStringList();
    // This machine has no swap: the lines below follow the kernel's own format.
    QTest::newRow("kernel format")
        << readUsageFixture("proc-swaps-kernel-format.txt")
        << QStringList{"/dev/sda3 0 8388604000 0 -2", "/swapfile 1 1048572000 524288000 -3",
                       "/dev/dm-1 0 16777212000 0 10"};
    QTest::newRow("four columns skipped") << "/dev/sda3\tpartition\t100\t0\n" << QStringList();
    QTest::newRow("trailing blank makes six") << "/dev/sda3 partition 100 0 -2 \n" << QStringList();
    QTest::newRow("empty lines skipped") << "\n\n/dev/sdb2 partition 5 1 -1\n\n"
                                         << QStringList{"/dev/sdb2 0 5000 1000 -1"};
    QTest::newRow("size beyond 64 bits skipped") << "/dev/sdb2 partition 99999999999999999 0 -1\n"
                                                 << QStringList();
}

void UsageParsersTest::swaps() {
    QFETCH(QString, text);
    QFETCH(QStringList, items);
    QStringList got;
    for (const SwapItem& item : ParseSwapsText(text)) {
        got << QString("%1 %2 %3 %4 %5")
                   .arg(item.filename)
                   .arg(item.type)
                   .arg(item.size)
                   .arg(item.used)
                   .arg(item.priority);
    }
    QCOMPARE(got, items);
}

void UsageParsersTest::swapUsage() {
    const QList<SwapItem> items = ParseSwapsText(readUsageFixture("proc-swaps-kernel-format.txt"));
    qint64 freespace = kSentinel;
    qint64 total = kSentinel;
    SwapUsageOf(items, "/swapfile", freespace, total);
    QCOMPARE(total, 1048572000LL);
    QCOMPARE(freespace, 1048572000LL - 524288000LL);

    SwapUsageOf(items, "/dev/sda", freespace, total);
    QCOMPARE(total, 0LL);
    QCOMPARE(freespace, 0LL);

    SwapItem duplicate;
    duplicate.filename = "/swapfile";
    duplicate.size = 1;
    SwapUsageOf(QList<SwapItem>(items) << duplicate, "/swapfile", freespace, total);
    QCOMPARE(total, 1048572000LL);
}

void UsageParsersTest::readFile() {
    QTemporaryDir dir;
    const QString plain = dir.filePath("plain");
    QVERIFY(writeFile(plain, QByteArray("first\nsecond \xc3\xa9\n")));
    const QString withNul = dir.filePath("nul");
    QVERIFY(writeFile(withNul, QByteArray("before\0after", 12)));

    MessageCapture log;
    QCOMPARE(ReadFile(plain), QString::fromUtf8("first\nsecond \xc3\xa9\n"));
    QCOMPARE(ReadFile(withNul), QString("before"));
    QVERIFY(log.messages().isEmpty());

    QCOMPARE(ReadFile(dir.filePath("missing")), QString());
    QCOMPARE(ReadFile(dir.path()), QString());  // a directory exists but cannot be read
    const QList<LoggedMessage> warnings = log.ofType(QtWarningMsg);
    QCOMPARE(warnings.size(), 2);
    QCOMPARE(warnings[0].text,
             QString("ReadFileContent() file not found:  \"%1\"").arg(dir.filePath("missing")));
    QCOMPARE(warnings[1].text, QString("ReadFile() failed to open \"%1\"").arg(dir.path()));
    QCOMPARE(warnings[1].function, QString("QString ReadFile(const QString&)"));
}

QTEST_APPLESS_MAIN(UsageParsersTest)
#include "tst_usageparsers.moc"
