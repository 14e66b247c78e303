#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "common/fakeprograms.h"
#include "common/messagecapture.h"
#include "common/testfiles.h"
#include "utils/utils/systemqueries.h"

namespace {

QString compact(const QJsonObject& object) {
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// Helper modes of this binary, run in a child process whose privileges or mounts differ from
// the test's own. Each prints "readonly" or "writable".
const char kProbeMode[] = "--probe-readonly";
const char kProbeTmpfsMode[] = "--probe-readonly-tmpfs";

int probe(const QString& path) {
    QTextStream(stdout) << (Utils::isReadOnly(path) ? "readonly" : "writable") << Qt::endl;
    return 0;
}

// Runs inside a private mount namespace: a read-only tmpfs hides nothing of the host.
int probeOnReadOnlyTmpfs(const QString& path) {
    if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "ro", "tmpfs", path}) != 0) {
        return 2;
    }
    return probe(path);
}

}  // namespace

class SystemQueriesTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void directorySize_data();
    void directorySize();
    void parseDuFixture_data();
    void parseDuFixture();
    void architecture_data();
    void architecture();
    void utcTime_data();
    void utcTime();
    void swapPartitionSize_data();
    void swapPartitionSize();
    void swapPartitionSizeFailure();
    void osiImage_data();
    void osiImage();
    void osiImageToolCannotStart_data();
    void osiImageToolCannotStart();
    void readOnlyWritableDirectory();
    void readOnlyMissingDirectory();
    void readOnlyVolume();
    void readOnlyWithoutPermission();
    void readJsonFile_data();
    void readJsonFile();
    void jsonToString();
    void jsonFromString_data();
    void jsonFromString();
    void recoveryUuid_data();
    void recoveryUuid();
    void backupImages_data();
    void backupImages();
    void processStatName_data();
    void processStatName();
    void processNameByPid();
    void reboot_data();
    void reboot();
    void forceReboot();
    void removePath();

private:
    // A fake program first on PATH (before the system's folders) that prints out and err and
    // exits with code.
    void fake(const QString& name, const QByteArray& out, const QByteArray& err = {}, int code = 0);
    QString helperResult(const QString& program, const QStringList& args);

    FakePrograms bin_{FakePrograms::OnPath::Not};
};

void SystemQueriesTest::initTestCase() {
    QVERIFY(bin_.isValid());
    bin_.placeOnPath(FakePrograms::OnPath::BeforeSystemDirs);
}

void SystemQueriesTest::cleanupTestCase() {
    bin_.restorePath();
}

void SystemQueriesTest::cleanup() {
    bin_.clear();
}

void SystemQueriesTest::fake(const QString& name, const QByteArray& out, const QByteArray& err,
                             int code) {
    bin_.install(name, {out, err, code});
}

// Output of a helper run of this binary, trimmed; empty when the helper itself failed.
QString SystemQueriesTest::helperResult(const QString& program, const QStringList& args) {
    QProcess process;
    process.start(program, args);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        return {};
    }
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

void SystemQueriesTest::directorySize_data() {
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("dir");
    QTest::addColumn<quint64>("size");
    QTest::addColumn<bool>("found");  // a total for dir was printed

    QTest::newRow("size tab dir") << QByteArray("2048\t/opt\n") << 0 << "/opt" << quint64(2048)
                                  << true;
    QTest::newRow("blanks in the path")
        << QByteArray("96\t/data/my backups\n") << 0 << "/data/my backups" << quint64(96) << true;
    QTest::newRow("4 TiB stays exact")
        << QByteArray("4294967296\t/var\n") << 0 << "/var" << quint64(4294967296ULL) << true;
    QTest::newRow("just above 4 TiB")
        << QByteArray("4294967297\t/var\n") << 0 << "/var" << quint64(4294967297ULL) << true;
    QTest::newRow("largest 64-bit figure") << QByteArray("18446744073709551615\t/var\n") << 0
                                           << "/var" << quint64(18446744073709551615ULL) << true;
    QTest::newRow("beyond 64 bits")
        << QByteArray("18446744073709551616\t/var\n") << 0 << "/var" << quint64(0) << false;
    QTest::newRow("the exact path wins")
        << QByteArray("12\t/var/lib\n34\t/var\n") << 0 << "/var" << quint64(34) << true;
    QTest::newRow("trailing slash differs")
        << QByteArray("12\t/var/\n") << 0 << "/var" << quint64(0) << false;
    QTest::newRow("figure that is no number")
        << QByteArray("12K\t/var\n") << 0 << "/var" << quint64(0) << false;
    QTest::newRow("empty folder is a total")
        << QByteArray("0\t/var\n") << 0 << "/var" << quint64(0) << true;
    QTest::newRow("du failed, nothing printed")
        << QByteArray() << 1 << "/nope" << quint64(0) << false;
    // du exits 1 when it could not read some subfolder, but its total still stands.
    QTest::newRow("partial read keeps the total")
        << QByteArray("40\t/var\n") << 1 << "/var" << quint64(40) << true;
}

void SystemQueriesTest::directorySize() {
    QFETCH(QByteArray, out);
    QFETCH(int, code);
    QFETCH(QString, dir);
    QFETCH(quint64, size);
    QFETCH(bool, found);

    fake("du", out, code ? "du: cannot read directory\n" : "", code);
    quint64 blocks = 1;
    QCOMPARE(getDirectorySize(dir, blocks), found);
    QCOMPARE(blocks, size);
    QCOMPARE(bin_.lastCall("du"), (QStringList{"--block-size=1024", "--max-depth=0", dir}));
}

void SystemQueriesTest::parseDuFixture_data() {
    QTest::addColumn<QString>("dir");
    QTest::addColumn<quint64>("size");
    QTest::addColumn<bool>("found");  // a total for dir was printed

    QTest::newRow("subfolder") << "my backups/sub" << quint64(300) << true;
    QTest::newRow("folder counted after its subfolder") << "my backups" << quint64(4) << true;
    QTest::newRow("last line") << "opt" << quint64(12) << true;
    QTest::newRow("first word of a path") << "my" << quint64(0) << false;
    QTest::newRow("not listed") << "var" << quint64(0) << false;
}

void SystemQueriesTest::parseDuFixture() {
    QFETCH(QString, dir);
    QFETCH(quint64, size);
    QFETCH(bool, found);
    const QString output = readFixture("du/max-depth-0.txt");
    QVERIFY(!output.isEmpty());
    quint64 blocks = 0;
    QCOMPARE(parseDuOutput(output, dir, blocks), found);
    if (found) {
        QCOMPARE(blocks, size);
    }
}

void SystemQueriesTest::architecture_data() {
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("expected");

    QTest::newRow("trimmed") << QByteArray(" amd64\n") << 0 << "amd64";
    QTest::newRow("other architecture") << QByteArray("arm64\n") << 0 << "arm64";
    QTest::newRow("failure") << QByteArray("amd64\n") << 2 << "";
}

void SystemQueriesTest::architecture() {
    QFETCH(QByteArray, out);
    QFETCH(int, code);
    QFETCH(QString, expected);

    fake("dpkg", out, {}, code);
    QCOMPARE(Utils::getArchitecture(), expected);
    QCOMPARE(bin_.lastCall("dpkg"), QStringList{"--print-architecture"});
}

void SystemQueriesTest::utcTime_data() {
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("expected");

    QTest::newRow("trimmed") << QByteArray("2024-05-06T07:08:09Z\n") << 0 << "2024-05-06T07:08:09Z";
    QTest::newRow("failure") << QByteArray("2024-05-06T07:08:09Z\n") << 1 << "";
}

void SystemQueriesTest::utcTime() {
    QFETCH(QByteArray, out);
    QFETCH(int, code);
    QFETCH(QString, expected);

    fake("date", out, {}, code);
    QCOMPARE(Utils::getUtcTime(), expected);
    QCOMPARE(bin_.lastCall("date"), (QStringList{"-u", "+%Y-%m-%dT%H:%M:%SZ"}));
}

void SystemQueriesTest::swapPartitionSize_data() {
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QString>("path");
    QTest::addColumn<qint64>("size");

    const QByteArray captured = readFixture("lsblk/path-size.txt").toUtf8();
    QTest::newRow("captured: disk") << captured << "/dev/vda" << qint64(274877906944LL);
    QTest::newRow("captured: size 0") << captured << "/dev/zram0" << qint64(0);
    QTest::newRow("captured: not listed") << captured << "/dev/sda2" << qint64(0);
    QTest::newRow("captured: prefix of a path") << captured << "/dev/vd" << qint64(0);

    const QByteArray listing =
        "PATH             SIZE\n"
        "/dev/sda  512110190592\n"
        "/dev/sda1    314572800\n"
        "/dev/sda2   8589934592\n"
        "\n"
        "/dev/sr0\n"
        "/dev/sda2          512\n";
    QTest::newRow("partition") << listing << "/dev/sda2" << qint64(8589934592LL);
    QTest::newRow("disk, not its partitions") << listing << "/dev/sda" << qint64(512110190592LL);
    QTest::newRow("line without size is skipped") << listing << "/dev/sr0" << qint64(0);
}

void SystemQueriesTest::swapPartitionSize() {
    QFETCH(QByteArray, out);
    QFETCH(QString, path);
    QFETCH(qint64, size);

    fake("lsblk", out);
    qint64 got = -7;
    MessageCapture capture;
    QVERIFY(Utils::getSwapPartitionSize(path, got));
    QCOMPARE(got, size);
    QVERIFY(capture.messages().isEmpty());
    QCOMPARE(bin_.lastCall("lsblk"), (QStringList{"--bytes", "--output", "PATH,SIZE"}));
}

void SystemQueriesTest::swapPartitionSizeFailure() {
    fake("lsblk", "/dev/sda2 8589934592\n", "lsblk: unknown column: PATH\n", 1);
    qint64 size = 42;
    MessageCapture capture;
    QVERIFY(!Utils::getSwapPartitionSize("/dev/sda2", size));
    QCOMPARE(size, qint64(0));
    const QList<LoggedMessage> records = capture.messages();
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().type, QtInfoMsg);
    const QString text = records.first().text;
    QVERIFY2(text.startsWith("getSwapPartitionSize call lsblk failed, err = "), qPrintable(text));
    QVERIFY2(text.contains("lsblk: unknown column: PATH"), qPrintable(text));
    QVERIFY2(text.contains(", out: "), qPrintable(text));
    QVERIFY2(text.contains("/dev/sda2 8589934592"), qPrintable(text));
}

void SystemQueriesTest::osiImage_data() {
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("valid");

    QTest::newRow("invalid file") << QByteArray() << QByteArray("invalid file\n") << 1 << false;
    QTest::newRow("invalid file inside a longer text")
        << QByteArray() << QByteArray("error: /b/root.osi: invalid file header\n") << 0 << false;
    QTest::newRow("other complaint")
        << QByteArray() << QByteArray("warning: slow read\n") << 0 << true;
    QTest::newRow("non-zero exit without the text") << QByteArray() << QByteArray() << 3 << true;
    QTest::newRow("text on standard output only")
        << QByteArray("invalid file\n") << QByteArray() << 1 << true;
    QTest::newRow("case differs") << QByteArray() << QByteArray("Invalid File\n") << 1 << true;
    QTest::newRow("clean report") << QByteArray("partition: ext4\n") << QByteArray() << 0 << true;
}

void SystemQueriesTest::osiImage() {
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(int, code);
    QFETCH(bool, valid);

    fake("orvik-clone", out, err, code);
    QCOMPARE(Utils::isValidOsiImage("/backup/my root.osi"), valid);
    QCOMPARE(bin_.lastCall("orvik-clone"), (QStringList{"--osi-info", "/backup/my root.osi"}));
}

void SystemQueriesTest::osiImageToolCannotStart_data() {
    QTest::addColumn<bool>("present");

    QTest::newRow("missing") << false;
    QTest::newRow("not executable") << true;
}

void SystemQueriesTest::osiImageToolCannotStart() {
    QFETCH(bool, present);

    // Only the fake folder on PATH, so no image tool of the host can stand in.
    bin_.placeOnPath(FakePrograms::OnPath::Alone);
    if (present) {
        const QString tool = bin_.file("orvik-clone");
        QVERIFY(writeFile(tool, "#!/bin/sh\nexit 0\n"));
        QVERIFY(QFile::setPermissions(tool, QFile::ReadOwner | QFile::WriteOwner));
    }
    const bool valid = Utils::isValidOsiImage("/backup/root.osi");
    bin_.placeOnPath(FakePrograms::OnPath::BeforeSystemDirs);
    QVERIFY(!valid);
}

void SystemQueriesTest::readOnlyWritableDirectory() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.path() + "/keep", "x"));
    QVERIFY(!Utils::isReadOnly(dir.path()));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"keep"});
}

void SystemQueriesTest::readOnlyMissingDirectory() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(Utils::isReadOnly(dir.path() + "/missing"));
    QVERIFY(!QFile::exists(dir.path() + "/missing"));
}

void SystemQueriesTest::readOnlyVolume() {
    if (getuid() != 0) {
        QSKIP("mounting a read-only tmpfs in a private mount namespace needs root");
    }
    const QString unshare = QStandardPaths::findExecutable("unshare");
    if (unshare.isEmpty() || QProcess::execute(unshare, {"-m", "true"}) != 0) {
        QSKIP("private mount namespaces are not available here (unshare -m failed)");
    }
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString self = QCoreApplication::applicationFilePath();
    QCOMPARE(helperResult(unshare, {"-m", "--propagation", "private", "--", self, kProbeTmpfsMode,
                                    dir.path()}),
             QString("readonly"));
    // The tmpfs lived only in the helper's namespace.
    QVERIFY(!Utils::isReadOnly(dir.path()));
}

void SystemQueriesTest::readOnlyWithoutPermission() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString locked = dir.path() + "/locked";
    QVERIFY(QDir().mkdir(locked));
    QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup |
                                              QFile::ExeGroup | QFile::ReadOther |
                                              QFile::ExeOther));
    const QString self = QCoreApplication::applicationFilePath();
    QString answer;
    if (getuid() != 0) {
        answer = Utils::isReadOnly(locked) ? "readonly" : "writable";
    } else {
        // Root writes anywhere; a helper without the override capabilities sees the permissions.
        const QString setpriv = QStandardPaths::findExecutable("setpriv");
        if (setpriv.isEmpty()) {
            QSKIP("setpriv is missing, so root cannot give up its permission override");
        }
        const QStringList drop{"--inh-caps=-all",
                               "--bounding-set=-dac_override,-dac_read_search,-fowner", "--"};
        // The same helper on a writable folder shows that it can say "writable" at all.
        QCOMPARE(helperResult(setpriv, drop + QStringList{self, kProbeMode, dir.path()}),
                 QString("writable"));
        answer = helperResult(setpriv, drop + QStringList{self, kProbeMode, locked});
    }
    QCOMPARE(answer, QString("readonly"));
    QVERIFY(
        QDir(locked).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
}

void SystemQueriesTest::readJsonFile_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");

    QTest::newRow("object") << QByteArray("{\n  \"a\": 1,\n  \"b\": {\"c\": \"d\"}\n}\n")
                            << "{\"a\":1,\"b\":{\"c\":\"d\"}}";
    QTest::newRow("empty object") << QByteArray("{}") << "{}";
    QTest::newRow("array") << QByteArray("[{\"a\": 1}]") << "{}";
    QTest::newRow("garbage") << QByteArray("not json") << "{}";
    QTest::newRow("truncated") << QByteArray("{\"a\": 1,") << "{}";
    QTest::newRow("text after the object") << QByteArray("{\"a\": 1} x") << "{}";
    QTest::newRow("empty file") << QByteArray() << "{}";
}

void SystemQueriesTest::readJsonFile() {
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.path() + "/savePath.json";
    QVERIFY(writeFile(path, content));
    QCOMPARE(compact(Utils::readJsonFile(path)), expected);
    QVERIFY(Utils::readJsonFile(dir.path() + "/missing.json").isEmpty());
    QVERIFY(Utils::readJsonFile(dir.path()).isEmpty());
}

void SystemQueriesTest::jsonToString() {
    const QJsonObject object{{"uuid", "abc"}, {"list", QJsonArray{1, 2}}};
    QCOMPARE(
        Utils::jsonToString(object),
        QString("{\n    \"list\": [\n        1,\n        2\n    ],\n    \"uuid\": \"abc\"\n}\n"));
    QCOMPARE(Utils::jsonToString({}), QString("{\n}\n"));
    QCOMPARE(Utils::jsonFromString(Utils::jsonToString(object)), object);
}

void SystemQueriesTest::jsonFromString_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("object") << "{\"a\": [1, 2]}"
                            << "{\"a\":[1,2]}";
    QTest::newRow("array") << "[1, 2]"
                           << "{}";
    QTest::newRow("garbage") << "{\"a\":"
                             << "{}";
    QTest::newRow("empty") << ""
                           << "{}";
}

void SystemQueriesTest::jsonFromString() {
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(compact(Utils::jsonFromString(text)), expected);
}

void SystemQueriesTest::recoveryUuid_data() {
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("uuid");

    QTest::newRow("uuid") << true << QByteArray("UUID=0f0f0f0f-2222-4333-8444-555555555555\n")
                          << "0f0f0f0f-2222-4333-8444-555555555555";
    QTest::newRow("general group") << true << QByteArray("[General]\nUUID=abc\n") << "abc";
    QTest::newRow("key missing") << true << QByteArray("Label=recovery\n") << "";
    QTest::newRow("only in another group") << true << QByteArray("[Disk]\nUUID=abc\n") << "";
    QTest::newRow("no file") << false << QByteArray() << "";
}

void SystemQueriesTest::recoveryUuid() {
    QFETCH(bool, exists);
    QFETCH(QByteArray, content);
    QFETCH(QString, uuid);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString conf = root.path() + "/etc/orvik/system-recovery.conf";
    if (exists) {
        QVERIFY(writeFile(conf, content));
    }
    QCOMPARE(Utils::getRecoveryUuid(root.path()), uuid);
    QCOMPARE(QFile::exists(conf), exists);
}

void SystemQueriesTest::backupImages_data() {
    QTest::addColumn<QStringList>("files");  // under <mount point>/backup; a trailing / is a folder
    QTest::addColumn<QString>("uuid");
    QTest::addColumn<bool>("found");

    QTest::newRow("image") << QStringList{"system.osi"} << "data" << true;
    QTest::newRow("images among others") << QStringList{"a.txt", "b.osi"} << "data" << true;
    QTest::newRow("folder named like an image") << QStringList{"old.osi/"} << "data" << true;
    QTest::newRow("no image") << QStringList{"a.img", "osi"} << "data" << false;
    QTest::newRow("empty backup folder") << QStringList{} << "data" << false;
    QTest::newRow("uuid not in fstab") << QStringList{"system.osi"} << "other" << false;
    QTest::newRow("empty uuid names no partition") << QStringList{"system.osi"} << "" << false;
}

void SystemQueriesTest::backupImages() {
    QFETCH(QStringList, files);
    QFETCH(QString, uuid);
    QFETCH(bool, found);

    QTemporaryDir mount;
    QVERIFY(mount.isValid());
    const QString backup = mount.path() + "/backup/";
    QVERIFY(QDir().mkpath(backup));
    for (const QString& name : files) {
        QVERIFY(name.endsWith('/') ? QDir().mkpath(backup + name) : writeFile(backup + name, "x"));
    }
    const FSTabInfoList fstab = FSTab::parseFSTab(QString("# UUID=other %1 ext4 defaults 0 2\n"
                                                          "/dev/sdz1 %1 ext4 defaults 0 2\n"
                                                          "UUID=data %1 ext4 defaults 0 2\n")
                                                      .arg(mount.path())
                                                      .toUtf8());
    QCOMPARE(Utils::hasBackupImages(fstab, uuid), found);
}

void SystemQueriesTest::processStatName_data() {
    QTest::addColumn<QString>("stat");
    QTest::addColumn<QString>("name");

    QTest::newRow("plain") << "4242 (bash) S 1 4242 4242 0 -1 4194560\n"
                           << "bash";
    QTest::newRow("blank in the name") << "17 (Web Content) S 1\n"
                                       << "Web Content";
    // The awk pipeline this mirrors stops at the first ")" and at the second "(".
    QTest::newRow("brackets in the name") << "9 (a(b)) R 1\n"
                                          << "a";
    QTest::newRow("closing bracket in the name") << "9 (x)y) R 1\n"
                                                 << "x";
    QTest::newRow("no bracket") << "garbage\n"
                                << "";
    QTest::newRow("no line break") << "3 (kthreadd) S 2"
                                   << "kthreadd";
    QTest::newRow("empty") << ""
                           << "";
}

void SystemQueriesTest::processStatName() {
    QFETCH(QString, stat);
    QFETCH(QString, name);
    QCOMPARE(Utils::parseProcessStatName(stat), name);
}

void SystemQueriesTest::processNameByPid() {
    QProcess child;
    child.start("sleep", {"30"});
    QVERIFY(child.waitForStarted());
    QString name = "was here ";
    const bool ok = Utils::getProcessNameByPid(int(child.processId()), name);
    child.kill();
    child.waitForFinished();
    QVERIFY(ok);
    // What was in name stays, and every blank goes.
    QCOMPARE(name, QString("washeresleep"));

    // A process that does not exist is a failure and leaves name alone.
    name = "kept";
    QVERIFY(!Utils::getProcessNameByPid(0, name));
    QCOMPARE(name, QString("kept"));
}

void SystemQueriesTest::reboot_data() {
    QTest::addColumn<bool>("ignoreInhibitors");
    QTest::addColumn<bool>("force");
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("args");

    QTest::newRow("plain") << false << false << 0 << QStringList{"reboot"};
    QTest::newRow("ignore inhibitors") << true << false << 0 << QStringList{"reboot", "-i"};
    QTest::newRow("force") << false << true << 0 << QStringList{"reboot", "-f"};
    QTest::newRow("both flags: forced") << true << true << 0 << QStringList{"reboot", "-f"};
    QTest::newRow("failure") << false << false << 1 << QStringList{"reboot"};
}

void SystemQueriesTest::reboot() {
    QFETCH(bool, ignoreInhibitors);
    QFETCH(bool, force);
    QFETCH(int, code);
    QFETCH(QStringList, args);

    fake("systemctl", {}, "Failed to reboot\n", code);
    QCOMPARE(Utils::reboot(ignoreInhibitors, force), code == 0);
    QCOMPARE(bin_.lastCall("systemctl"), args);
}

// As root sudo is left out, as a user it runs the command: either way the stand-in is reached.
void SystemQueriesTest::forceReboot() {
    bin_.installScript("sudo", "exec \"$@\"");
    fake("reboot", {});
    QVERIFY(Utils::forceReboot());
    QCOMPARE(bin_.lastCall("reboot"), (QStringList{"-f"}));
}

void SystemQueriesTest::removePath() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A path that a shell would act on: it must arrive as one argument and do nothing else.
    const QString path = dir.path() + "/old backup; touch pwned $(touch pwned2)";
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    bin_.installScript("sudo", "exec \"$@\"");
    fake("rm", {}, {}, 0);
    const bool ok = Utils::removePath(path);
    fake("rm", {}, {}, 1);
    const bool failed = Utils::removePath(path);
    QDir::setCurrent(before);
    QVERIFY(ok);
    QVERIFY(!failed);
    QCOMPARE(bin_.lastCall("rm"), (QStringList{"-rf", path}));
    QVERIFY(!QFile::exists(dir.path() + "/pwned"));
    QVERIFY(!QFile::exists(dir.path() + "/pwned2"));
}

int main(int argc, char** argv) {
    if (argc == 3 && qstrcmp(argv[1], kProbeMode) == 0) {
        return probe(QString::fromLocal8Bit(argv[2]));
    }
    if (argc == 3 && qstrcmp(argv[1], kProbeTmpfsMode) == 0) {
        return probeOnReadOnlyTmpfs(QString::fromLocal8Bit(argv[2]));
    }
    QCoreApplication app(argc, argv);
    SystemQueriesTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_systemqueries.moc"
