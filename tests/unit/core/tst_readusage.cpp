// ReadUsage's dispatch and the readers' handling of their tools, with stand-in tools first on
// PATH that print captured output (tests/fixtures/usage) and record how they were started.

#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>

#include "common/fakeprograms.h"
#include "common/messagecapture.h"
#include "usagefixtures.h"
#include "utils/core/partitionusage/partitionusage.h"

namespace {

const QStringList kTools = {"btrfs",           "dosfsck",       "dumpe2fs",
                            "jfs_debugfs",     "nilfs-tune",    "ntfsinfo",
                            "debugfs.reiser4", "debugreiserfs", "xfs_db"};

const char kReadUsageSignature[] = "bool ReadUsage(const QString&, FsType, qint64&, qint64&)";
const char kFatSignature[] = "bool ReadFat16Usage(const QString&, qint64&, qint64&)";

// Every tool is there and fails, so that a reader that runs the wrong one cannot pass.
void installFailingTools(FakePrograms& tools) {
    for (const QString& tool : kTools) {
        FakePrograms::Behaviour failing;
        failing.exitCode = 1;
        failing.readStdin = tool == "jfs_debugfs";
        tools.install(tool, failing);
    }
}

QStringList toolsCalled(const FakePrograms& tools) {
    QStringList called;
    for (const QString& tool : kTools) {
        if (!tools.calls(tool).isEmpty()) {
            called << tool;
        }
    }
    return called;
}

struct Reading {
    bool ok = false;
    qint64 freespace = 555;
    qint64 total = 555;
};

Reading readUsage(const QString& path, int type) {
    Reading r;
    r.ok = ReadUsage(path, static_cast<FsType>(type), r.freespace, r.total);
    return r;
}

void verifyFailureWarning(const MessageCapture& log, const QString& path) {
    const QList<LoggedMessage> warnings = log.ofType(QtWarningMsg);
    QVERIFY(!warnings.isEmpty());
    QCOMPARE(warnings.last().text, QString("Failed to read usage: \"%1\"").arg(path));
    QCOMPARE(warnings.last().function, QString(kReadUsageSignature));
}

}  // namespace

class ReadUsageTest : public QObject {
    Q_OBJECT

private slots:
    void dispatch_data();
    void dispatch();
    void unsupportedTypesRunNothing_data();
    void unsupportedTypesRunNothing();
    void failingToolGivesMinusOne_data();
    void failingToolGivesMinusOne();
    void missingToolGivesMinusOne_data();
    void missingToolGivesMinusOne();
    void rejectedReadingIsOverwritten();
    void fatIgnoresExitCode();
    void fatFailsOnStandardError();
    void jfsEndlessOutputIsCut();
    void swapFromProcSwaps();
};

void ReadUsageTest::dispatch_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QString>("fixture");
    QTest::addColumn<QStringList>("args");  // %1 is the path
    QTest::addColumn<qint64>("freespace");
    QTest::addColumn<qint64>("total");

    const QStringList fat = {"-n", "-v", "%1"};
    const qint64 fatTotal = 2048LL * 32695;
    const qint64 fatFree = fatTotal - 149504 - 2048LL * 3072;
    QTest::newRow("Btrfs") << int(Btrfs) << "btrfs"
                           << "btrfs-show" << QStringList{"filesystem", "show", "%1"}
                           << qint64(268435456 - 6438256) << qint64(268435456);
    QTest::newRow("Efi") << int(Efi) << "dosfsck"
                         << "dosfsck-fat16" << fat << fatFree << fatTotal;
    QTest::newRow("Fat16") << int(Fat16) << "dosfsck"
                           << "dosfsck-fat16" << fat << fatFree << fatTotal;
    QTest::newRow("Fat32") << int(Fat32) << "dosfsck"
                           << "dosfsck-fat16" << fat << fatFree << fatTotal;
    QTest::newRow("Vfat") << int(Vfat) << "dosfsck"
                          << "dosfsck-fat16" << fat << fatFree << fatTotal;
    QTest::newRow("Ext2") << int(Ext2) << "dumpe2fs"
                          << "dumpe2fs-ext2" << QStringList{"-h", "%1"} << 53953LL * 1024
                          << 65536LL * 1024;
    QTest::newRow("Ext3") << int(Ext3) << "dumpe2fs"
                          << "dumpe2fs-ext3" << QStringList{"-h", "%1"} << 49840LL * 1024
                          << 65536LL * 1024;
    QTest::newRow("Ext4") << int(Ext4) << "dumpe2fs"
                          << "dumpe2fs-ext4" << QStringList{"-h", "%1"} << 49879LL * 1024
                          << 65536LL * 1024;
    QTest::newRow("Jfs") << int(Jfs) << "jfs_debugfs"
                         << "jfs_debugfs" << QStringList{"%1"} << 0x3ea9LL * 4096
                         << 0x3eccLL * 4096;
    QTest::newRow("Nilfs2") << int(Nilfs2) << "nilfs-tune"
                            << "nilfs-tune" << QStringList{"-l", "%1"} << 36864LL * 4096
                            << qint64(167772160);
    QTest::newRow("Ntfs") << int(Ntfs) << "ntfsinfo"
                          << "ntfsinfo" << QStringList{"-mf", "%1"} << 14210LL * 4096
                          << 16383LL * 4096;
    QTest::newRow("Reiser4") << int(Reiser4) << "debugfs.reiser4"
                             << "debugfs.reiser4" << QStringList{"--force", "--yes", "%1"}
                             << 32742LL * 4096 << 32768LL * 4096;
    QTest::newRow("Reiserfs") << int(Reiserfs) << "debugreiserfs"
                              << "debugreiserfs" << QStringList{"-d", "%1"} << 8172LL * 4096
                              << 16384LL * 4096;
    QTest::newRow("Xfs") << int(Xfs) << "xfs_db"
                         << "xfs_db-sb-print" << QStringList{"-c sb", "-c print", "-r", "%1"}
                         << 58848LL * 4096 << 76800LL * 4096;
}

void ReadUsageTest::dispatch() {
    QFETCH(int, type);
    QFETCH(QString, tool);
    QFETCH(QString, fixture);
    QFETCH(QStringList, args);
    QFETCH(qint64, freespace);
    QFETCH(qint64, total);

    FakePrograms tools;
    installFailingTools(tools);
    FakePrograms::Behaviour printing;
    printing.out = readUsageFixture(fixture + ".txt").toUtf8();
    printing.readStdin = tool == "jfs_debugfs";
    tools.install(tool, printing);

    const QString path = fixtureDevice(fixture);
    MessageCapture log;
    const Reading r = readUsage(path, type);
    QVERIFY(r.ok);
    QCOMPARE(r.freespace, freespace);
    QCOMPARE(r.total, total);
    QVERIFY(log.ofType(QtWarningMsg).isEmpty());

    QCOMPARE(toolsCalled(tools), QStringList{tool});
    const QList<FakePrograms::Call> calls = tools.callRecords(tool);
    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls[0].args, args.replaceInStrings("%1", path));
    QCOMPARE(calls[0].lcAll, QString("C"));
    if (tool == "jfs_debugfs") {
        QCOMPARE(tools.stdinOf(tool), QByteArray("dm\nx\nq\n"));
    }
}

void ReadUsageTest::unsupportedTypesRunNothing_data() {
    QTest::addColumn<int>("type");
    for (int type : {0, 6, 10, 11, 14, 17, 21, 22, 23, 31}) {
        QTest::newRow(qPrintable(QString::number(type))) << type;
    }
}

void ReadUsageTest::unsupportedTypesRunNothing() {
    QFETCH(int, type);
    FakePrograms tools;
    for (const QString& tool : kTools) {
        FakePrograms::Behaviour succeeding;
        succeeding.out = "Block size: 4096\n";
        tools.install(tool, succeeding);
    }
    MessageCapture log;
    const Reading r = readUsage("/dev/sdb1", type);
    QVERIFY(!r.ok);
    QCOMPARE(r.freespace, -1LL);
    QCOMPARE(r.total, -1LL);
    QCOMPARE(toolsCalled(tools), QStringList());
    verifyFailureWarning(log, "/dev/sdb1");
}

void ReadUsageTest::failingToolGivesMinusOne_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QString>("fixture");
    QTest::newRow("Btrfs") << int(Btrfs) << "btrfs"
                           << "btrfs-show";
    QTest::newRow("Ext4") << int(Ext4) << "dumpe2fs"
                          << "dumpe2fs-ext4";
    QTest::newRow("Jfs") << int(Jfs) << "jfs_debugfs"
                         << "jfs_debugfs";
    QTest::newRow("Nilfs2") << int(Nilfs2) << "nilfs-tune"
                            << "nilfs-tune";
    QTest::newRow("Ntfs") << int(Ntfs) << "ntfsinfo"
                          << "ntfsinfo";
    QTest::newRow("Reiser4") << int(Reiser4) << "debugfs.reiser4"
                             << "debugfs.reiser4";
    QTest::newRow("Reiserfs") << int(Reiserfs) << "debugreiserfs"
                              << "debugreiserfs";
    QTest::newRow("Xfs") << int(Xfs) << "xfs_db"
                         << "xfs_db-sb-print";
}

// Good output is not enough: a tool that exits with an error is not believed.
void ReadUsageTest::failingToolGivesMinusOne() {
    QFETCH(int, type);
    QFETCH(QString, tool);
    QFETCH(QString, fixture);
    FakePrograms tools;
    FakePrograms::Behaviour failing;
    failing.out = readUsageFixture(fixture + ".txt").toUtf8();
    failing.exitCode = 1;
    failing.readStdin = tool == "jfs_debugfs";
    tools.install(tool, failing);

    const QString path = fixtureDevice(fixture);
    MessageCapture log;
    const Reading r = readUsage(path, type);
    QVERIFY(!r.ok);
    QCOMPARE(r.freespace, -1LL);
    QCOMPARE(r.total, -1LL);
    QCOMPARE(tools.calls(tool).size(), 1);
    verifyFailureWarning(log, path);
}

void ReadUsageTest::missingToolGivesMinusOne_data() {
    QTest::addColumn<int>("type");
    for (FsType type : {Btrfs, Vfat, Ext4, Jfs, Nilfs2, Ntfs, Reiser4, Reiserfs, Xfs}) {
        QTest::newRow(qPrintable(GetFsTypeName(type))) << int(type);
    }
}

// With nothing to run, no reader reports a reading (dosfsck's empty error text included).
void ReadUsageTest::missingToolGivesMinusOne() {
    QFETCH(int, type);
    MessageCapture log;
    Reading r;
    {
        FakePrograms nothing(FakePrograms::OnPath::Alone);
        r = readUsage("/dev/sdb1", type);
    }
    QVERIFY(!r.ok);
    QCOMPARE(r.freespace, -1LL);
    QCOMPARE(r.total, -1LL);
    verifyFailureWarning(log, "/dev/sdb1");
}

void ReadUsageTest::rejectedReadingIsOverwritten() {
    FakePrograms tools;
    FakePrograms::Behaviour overfull;
    overfull.out =
        "Label: none  uuid: 85e1fffc-e856-4298-a7fb-f4c8cd952934\n"
        "\tTotal devices 1 FS bytes used 2.00GiB\n"
        "\tdevid    1 size 1.00GiB used 1.00GiB path /dev/sdb1\n";
    tools.install("btrfs", overfull);

    qint64 freespace = 0;
    qint64 total = 0;
    QVERIFY(!ReadBtrfsUsage("/dev/sdb1", freespace, total));
    QCOMPARE(freespace, -1073741824LL);  // the reader leaves its figures

    MessageCapture log;
    const Reading r = readUsage("/dev/sdb1", Btrfs);
    QVERIFY(!r.ok);
    QCOMPARE(r.freespace, -1LL);
    QCOMPARE(r.total, -1LL);
}

// dosfsck exits with 1 when it finds something to mend; its figures still hold.
void ReadUsageTest::fatIgnoresExitCode() {
    FakePrograms tools;
    FakePrograms::Behaviour dirty;
    dirty.out = readUsageFixture("dosfsck-fat32.txt").toUtf8();
    dirty.exitCode = 1;
    tools.install("dosfsck", dirty);
    const Reading r = readUsage(fixtureDevice("dosfsck-fat32"), Vfat);
    QVERIFY(r.ok);
    QCOMPARE(r.total, 512LL * 258078);
    QCOMPARE(r.freespace, 512LL * 258078 - 2081792 - 512);
}

void ReadUsageTest::fatFailsOnStandardError() {
    FakePrograms tools;
    FakePrograms::Behaviour complaining;
    complaining.out = readUsageFixture("dosfsck-not-fat.txt").toUtf8();
    complaining.err = readUsageFixture("dosfsck-not-fat.stderr").toUtf8();
    complaining.exitCode = 0;  // whatever the exit code
    tools.install("dosfsck", complaining);

    const QString path = fixtureDevice("dosfsck-not-fat");
    MessageCapture log;
    const Reading r = readUsage(path, Fat32);
    QVERIFY(!r.ok);
    QCOMPARE(r.freespace, -1LL);
    QCOMPARE(r.total, -1LL);
    const QList<LoggedMessage> warnings = log.ofType(QtWarningMsg);
    QCOMPARE(warnings.size(), 2);
    QCOMPARE(warnings[0].text, QString("dosfsck failed: \"Logical sector size is zero.\\n\""));
    QCOMPARE(warnings[0].function, QString(kFatSignature));
    verifyFailureWarning(log, path);
}

// Left at a prompt with no input, the real jfs_debugfs prints for ever; so does this one.
void ReadUsageTest::jfsEndlessOutputIsCut() {
    FakePrograms tools;
    tools.installScript("jfs_debugfs",
                        "exec 0<&-\nwhile :; do\n"
                        "  echo 'display_dbmap: [m]odify, [f]ree count, [t]ree, e[x]it > '\n"
                        "done");
    QElapsedTimer timer;
    timer.start();
    const Reading r = readUsage("/dev/sdb1", Jfs);
    QVERIFY(!r.ok);
    QCOMPARE(r.total, -1LL);
    QVERIFY2(timer.elapsed() < 60000, "the endless tool should have been stopped");
}

// /proc/swaps is replaced by a fixture inside a private mount namespace, where a small
// program asks ReadUsage; the host's own file is not read.
void ReadUsageTest::swapFromProcSwaps() {
    QTemporaryDir dir;
    const QString helper = dir.filePath("with-swaps");
    QVERIFY(writeFile(helper,
                      "#!/bin/sh\nmount --bind \"$1\" /proc/swaps || exit 97\nshift\nexec \"$@\"\n",
                      true));
    const QString swaps = fixturePath("usage/proc-swaps-kernel-format.txt");
    struct Row {
        QString path;
        QString expected;
    };
    const QList<Row> rows = {
        {"/dev/sda3", "1 8388604000 8388604000"},
        {"/swapfile", QString("1 %1 1048572000").arg(1048572000LL - 524288000LL)},
        {"/dev/sdb9", "1 0 0"},
    };
    for (const Row& row : rows) {
        QProcess probe;
        probe.start("unshare", {"-m", "--propagation", "private", helper, swaps, USAGE_PROBE,
                                row.path, QString::number(LinuxSwap)});
        probe.waitForFinished(-1);
        if (probe.error() == QProcess::FailedToStart || probe.exitCode() != 0) {
            QSKIP(qPrintable("no private mount namespace here: " +
                             QString::fromUtf8(probe.readAllStandardError())));
        }
        QCOMPARE(QString::fromUtf8(probe.readAllStandardOutput()).trimmed(), row.expected);
    }
}

QTEST_GUILESS_MAIN(ReadUsageTest)
#include "tst_readusage.moc"
