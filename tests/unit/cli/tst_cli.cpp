#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "common/fakeprograms.h"

namespace {

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

// A locale without an installed translation, so the source texts come out.
const char kLocale[] = "de_DE.UTF-8";

QProcessEnvironment toolEnvironment(const QString& locale) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"LANGUAGE", "LC_MESSAGES", "LC_NUMERIC", "LANG"}) {
        env.remove(name);
    }
    env.insert("LC_ALL", locale);
    env.insert("QT_MESSAGE_PATTERN", "%{message}");
    return env;
}

// The tool and its library copied where the unprivileged user can reach them: a clone under a
// private home (/root/NAME) is closed to that user, and so is the build tree in it.
QString toolForNobody() {
    static QTemporaryDir dir(QDir::tempPath() + "/tst_cli-XXXXXX");
    static const QString tool = [] {
        const QString copy = dir.path() + "/orvik-recovery-tool";
        const bool copied =
            dir.isValid() && QFile::copy(TOOL_PATH, copy) &&
            QFile::copy(UTILS_LIBRARY, dir.path() + "/" UTILS_SONAME) &&
            QFile::setPermissions(
                dir.path(), QFile::permissions(dir.path()) | QFile::ReadOther | QFile::ExeOther);
        return copied ? copy : QString();
    }();
    return tool;
}

// Runs the tool; asNobody drops to an unprivileged user when the test itself is root.
Run runTool(const QStringList& args, const QString& workingDir = QString(),
            QProcessEnvironment env = toolEnvironment(kLocale), bool asNobody = false) {
    QProcess process;
    process.setProcessEnvironment(env);
    if (!workingDir.isEmpty()) {
        process.setWorkingDirectory(workingDir);
    }
    if (asNobody && getuid() == 0) {
        const QString tool = toolForNobody();
        env.insert("LD_LIBRARY_PATH", QFileInfo(tool).path());
        process.setProcessEnvironment(env);
        process.start("setpriv",
                      QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", tool} + args);
    } else {
        process.start(TOOL_PATH, args);
    }
    Run run;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

QString loggedPath(const QString& err) {
    static const QRegularExpression line("^absolutePath =  \"(.*)\"$",
                                         QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = line.match(err);
    return match.hasMatch() ? match.captured(1) : QStringLiteral("<no absolutePath line>");
}

const QString kDescription = QStringLiteral(
    "e.g.:\n"
    " orvik-recovery-tool Action            Path        [Format]\n"
    " orvik-recovery-tool -a system_backup  -p ~/backup\n"
    " orvik-recovery-tool -a manual_restore -p ~/backup\n"
    " orvik-recovery-tool -a system_restore -f\n"
    " orvik-recovery-tool -a cancel_backup\n"
    " orvik-recovery-tool -a cancel_restore\n"
    "\n"
    "Return value:\n"
    " 0 NoError\n"
    " 1 SpaceError       Insufficient disk space\n"
    " 2 FsError          The file system is not supported for backup. Please select one in "
    "ext4, btrfs, xfs, reiserfs format.\n"
    " 3 PathError        Invalid path\n"
    " 4 LocationError    The storage location cannot be in the source disk.\n"
    " 5 MD5Error         The backup file is corrupted.\n"
    " 6 DeviceReadOnly   Cannot back up data to the read-only device\n"
    " 7 BackupPathError  This directory cannot be used to store backup files, please select a "
    "different directory.\n"
    " 8 PartitionEncrypt The system contains encrypted partition, please decrypt it before "
    "using the backup and restore function.\n"
    " -1 OtherError    For other errors, please read output messages.\n");

}  // namespace

class TstCli : public QObject {
    Q_OBJECT
private slots:
    void helpDescription();
    void returnValueLabelWidths();
    void helpOptions_data();
    void helpOptions();
    void helpOptionOrder();
    void actionDescription();
    void localeValueName_data();
    void localeValueName();
    void exitStatus_data();
    void exitStatus();
    void notRoot_data();
    void notRoot();
    void updateInitramfsAsUser_data();
    void updateInitramfsAsUser();
    void pathNormalisation_data();
    void pathNormalisation();
};

void TstCli::helpDescription() {
    const Run run = runTool({"--help"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.startsWith("Usage: " TOOL_PATH " [options]\n"), qPrintable(run.out));
    // The description follows the usage line unchanged.
    const int at = run.out.indexOf('\n') + 1;
    QCOMPARE(run.out.mid(at, kDescription.size()), kDescription);
}

void TstCli::returnValueLabelWidths() {
    const Run run = runTool({"--help"});
    const QStringList lines = run.out.split('\n');
    int checked = 0;
    for (const QString& line : lines) {
        const QRegularExpressionMatch m =
            QRegularExpression("^ (-?\\d) ([A-Za-z0-9]+ +)(\\S.*)$").match(line);
        if (!m.hasMatch() || m.captured(1) == "0") {
            continue;
        }
        const int width = 1 + m.captured(1).size() + 1 + m.captured(2).size();
        QCOMPARE(width, m.captured(1) == "-1" ? 18 : 20);
        ++checked;
    }
    QCOMPARE(checked, 9);
}

void TstCli::helpOptions_data() {
    QTest::addColumn<QString>("names");
    QTest::addColumn<QString>("description");
    QTest::newRow("action") << "-a, --action <type>"
                            << "Choose an action type:";
    QTest::newRow("path") << "-p, --path <directory>"
                          << "Real path";
    QTest::newRow("format") << "-f, --format"
                            << "Format user data";
    QTest::newRow("reboot") << "-r, --reboot"
                            << "Auto reboot";
    QTest::newRow("locale") << "-l, --locale <de_DE>"
                            << "locale language";
    QTest::newRow("ui") << "--ui, --update-initramfs"
                        << "update-initramfs -u";
    QTest::newRow("status") << "--status"
                            << "Show what the next boot will do";
    QTest::newRow("dry-run") << "-n, --dry-run"
                             << "Check the request, print the plan, write nothing";
}

void TstCli::helpOptions() {
    QFETCH(QString, names);
    QFETCH(QString, description);
    const Run run = runTool({"-h"});
    const QRegularExpression line("^  " + QRegularExpression::escape(names) + " +" +
                                      QRegularExpression::escape(description) + "$",
                                  QRegularExpression::MultilineOption);
    QVERIFY2(line.match(run.out).hasMatch(), qPrintable(run.out));
}

void TstCli::helpOptionOrder() {
    const Run run = runTool({"-h"});
    const QStringList order{
        "-h, --help",   "-v, --version", "-a, --action", "-p, --path",
        "-f, --format", "-r, --reboot",  "-l, --locale", "--ui, --update-initramfs",
        "--status",     "-n, --dry-run"};
    int last = -1;
    for (const QString& option : order) {
        const int at = run.out.indexOf("  " + option);
        QVERIFY2(at > last, qPrintable(option));
        last = at;
    }
}

void TstCli::actionDescription() {
    const Run run = runTool({"-h"});
    const QStringList rows{"manual_backup   Full Backup",
                           "system_backup   System Backup",
                           "manual_restore  Restore from backup files",
                           "system_restore  Reset to factory settings",
                           "cancel_backup   Cancel Backup",
                           "cancel_restore  Cancel Restore"};
    int last = run.out.indexOf("Choose an action type:");
    QVERIFY(last > 0);
    for (const QString& row : rows) {
        const int at = run.out.indexOf(QRegularExpression("\\n +" + row + "\\n"), last);
        QVERIFY2(at > last, qPrintable(row));
        last = at;
    }
}

void TstCli::localeValueName_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("valueName");
    QTest::newRow("fr_FR") << "fr_FR.UTF-8"
                           << "fr_FR";
    QTest::newRow("pt_BR") << "pt_BR.UTF-8"
                           << "pt_BR";
    QTest::newRow("C") << "C"
                       << "C";
}

void TstCli::localeValueName() {
    QFETCH(QString, locale);
    QFETCH(QString, valueName);
    const Run run = runTool({"-h"}, QString(), toolEnvironment(locale));
    QVERIFY2(run.out.contains("-l, --locale <" + valueName + ">"), qPrintable(run.out));
}

void TstCli::exitStatus_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("helpOnStdout");
    QTest::newRow("no arguments") << QStringList{} << 0 << true;
    QTest::newRow("unknown action text") << QStringList{"-a", "sytem_backup"} << 1 << false;
    QTest::newRow("action texts are case-sensitive")
        << QStringList{"--action", "SYSTEM_BACKUP"} << 1 << false;
    QTest::newRow("empty action") << QStringList{"-a", ""} << 1 << false;
    QTest::newRow("unknown action with the refresh")
        << QStringList{"--ui", "-a", "System_Backup"} << 1 << false;
    QTest::newRow("path without action") << QStringList{"-p", "/nonexistent", "-f"} << 0 << true;
    QTest::newRow("positional arguments ignored") << QStringList{"backup"} << 0 << true;
    QTest::newRow("unknown option") << QStringList{"--bogus"} << 1 << false;
    QTest::newRow("single-dash ui") << QStringList{"-ui"} << 1 << false;
    QTest::newRow("action without value") << QStringList{"-a"} << 1 << false;
    QTest::newRow("path without value") << QStringList{"-p"} << 1 << false;
    QTest::newRow("locale without value") << QStringList{"-l"} << 1 << false;
    QTest::newRow("version") << QStringList{"-v"} << 0 << false;
    QTest::newRow("dry run without action") << QStringList{"-n", "-p", "/tmp"} << 0 << true;
    QTest::newRow("dry run of a cancel") << QStringList{"-n", "-a", "cancel_backup"} << 1 << false;
    QTest::newRow("dry run of the other cancel")
        << QStringList{"--dry-run", "-a", "cancel_restore"} << 1 << false;
    QTest::newRow("dry run of the refresh") << QStringList{"-n", "--ui"} << 1 << false;
    QTest::newRow("status with an action")
        << QStringList{"--status", "-a", "system_backup"} << 1 << false;
    QTest::newRow("status with an unknown action")
        << QStringList{"--status", "-a", "x"} << 1 << false;
    QTest::newRow("status dry run") << QStringList{"--status", "-n"} << 1 << false;
    QTest::newRow("status and refresh") << QStringList{"--ui", "--status"} << 1 << false;
}

void TstCli::exitStatus() {
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(bool, helpOnStdout);
    // Unprivileged: none of these may need root or reach a machine check.
    const Run run = runTool(args, QString(), toolEnvironment(kLocale), true);
    QCOMPARE(run.exitCode, exitCode);
    // The same binary for the help: its usage line names the path it was started from.
    const Run help = runTool({"--help"}, QString(), toolEnvironment(kLocale), true);
    QCOMPARE(run.out == help.out, helpOnStdout);
    QVERIFY(!run.err.contains("Permission denied"));
    if (exitCode == 1) {
        QVERIFY2(!run.err.isEmpty(), "the parser names the error");
        QVERIFY(run.out.isEmpty());
    }
    // A given action that is none of the six is named in the refusal.
    const int at = args.indexOf(QRegularExpression("-a|--action")) + 1;
    const QRegularExpression known("^(manual|system|cancel)_(backup|restore)$");
    if (at > 0 && at < args.size() && !known.match(args[at]).hasMatch()) {
        QVERIFY2(run.err.contains("Unknown action: '" + args[at] + "'"), qPrintable(run.err));
    }
}

void TstCli::notRoot_data() {
    QTest::addColumn<QStringList>("args");
    for (const char* action : {"manual_backup", "system_backup", "manual_restore", "system_restore",
                               "cancel_backup", "cancel_restore"}) {
        QTest::newRow(action) << QStringList{"-a", action, "-p", "/tmp"};
    }
    QTest::newRow("status") << QStringList{"--status", "-p", "/tmp"};
    QTest::newRow("dry run") << QStringList{"-n", "-a", "system_backup", "-p", "/tmp"};
}

void TstCli::notRoot() {
    QFETCH(QStringList, args);
    if (getuid() == 0 && QStandardPaths::findExecutable("setpriv").isEmpty()) {
        QSKIP("setpriv is needed to drop root");
    }
    const Run run = runTool(args, "/", toolEnvironment(kLocale), true);
    QCOMPARE(run.exitCode, 255);
    QVERIFY2(run.err.contains("\"Permission denied\""), qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
    // The path is normalised and logged before the refusal.
    QCOMPARE(loggedPath(run.err), QString("/tmp"));
    QVERIFY(run.err.indexOf("absolutePath") < run.err.indexOf("Permission denied"));
}

void TstCli::updateInitramfsAsUser_data() {
    QTest::addColumn<QStringList>("args");
    QTest::newRow("short") << QStringList{"--ui"};
    QTest::newRow("long") << QStringList{"--update-initramfs"};
    QTest::newRow("with an action") << QStringList{"--ui", "-a", "system_backup", "-p", "/"};
}

void TstCli::updateInitramfsAsUser() {
    QFETCH(QStringList, args);
    if (getuid() == 0 && QStandardPaths::findExecutable("setpriv").isEmpty()) {
        QSKIP("setpriv is needed to drop root");
    }
    // A refresh that fails, as it does for a normal user; it records how it was called. Only
    // the tool's own PATH leads to it.
    FakePrograms bin(FakePrograms::OnPath::Not);
    QVERIFY(bin.isValid());
    bin.shareWithEveryone();
    bin.install("update-initramfs", "", 1);

    QProcessEnvironment env = toolEnvironment(kLocale);
    env.insert("PATH", bin.searchPath(FakePrograms::kSystemDirs));
    const Run run = runTool(args, "/", env, true);
    QCOMPARE(run.exitCode, 0);
    const QList<QStringList> calls = bin.calls("update-initramfs");
    QVERIFY2(!calls.isEmpty(), "update-initramfs was not started");
    QCOMPARE(calls, QList<QStringList>{QStringList{"-u"}});
    // Nothing else of a run happens: no path, no root test, no help.
    QVERIFY2(run.err.isEmpty(), qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
}

void TstCli::pathNormalisation_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("expected");  // "@" stands for the working directory
    QTest::newRow("no path option") << QStringList{} << "@";
    QTest::newRow("empty path") << QStringList{"-p", ""} << "@";
    QTest::newRow("relative") << QStringList{"-p", "backup"} << "@/backup";
    QTest::newRow("relative, trailing slash") << QStringList{"-p", "a/b/"} << "@/a/b";
    QTest::newRow("trailing slashes") << QStringList{"-p", "/data/backup///"} << "/data/backup";
    QTest::newRow("root") << QStringList{"-p", "/"} << "/";
    QTest::newRow("only slashes") << QStringList{"-p", "//"} << "";
    QTest::newRow("dot kept") << QStringList{"--path", "./x"} << "@/./x";
    QTest::newRow("replace target")
        << QStringList{"-p", "/data/backups/2024-01-01#"} << "/data/backups";
    QTest::newRow("replace target, trailing slash")
        << QStringList{"-p", "/data/backups/2024-01-01/#"} << "/data/backups/2024-01-01";
    QTest::newRow("relative replace target") << QStringList{"-p", "bk/2024#"} << "@/bk";
    QTest::newRow("replace target without slash") << QStringList{"-p", "2024#"} << "@/2024";
    QTest::newRow("replace target under root") << QStringList{"-p", "/2024#"} << "@";
    QTest::newRow("hash alone") << QStringList{"-p", "#"} << "@";
    QTest::newRow("hash inside") << QStringList{"-p", "/a#b"} << "/a#b";
}

void TstCli::pathNormalisation() {
    QFETCH(QStringList, args);
    QFETCH(QString, expected);
    QTemporaryDir cwd;
    QVERIFY(cwd.isValid());
    QFile::setPermissions(cwd.path(), QFileDevice::Permissions(0x7755));
    const QString dir = QFileInfo(cwd.path()).canonicalFilePath();
    const Run run = runTool(args, dir);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(loggedPath(run.err), QString(expected).replace("@", dir));
}

QTEST_GUILESS_MAIN(TstCli)
#include "tst_cli.moc"
