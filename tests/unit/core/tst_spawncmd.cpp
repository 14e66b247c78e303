// SpawnCmd's four overloads against small scripts.

#include <QElapsedTimer>
#include <QtTest>

#include "common/fakeprograms.h"
#include "common/messagecapture.h"
#include "utils/core/command/spawncmd.h"
#include "utils/core/command/sudoprefix.h"
#include "utils/core/partitionusage/stdinspawn.h"

class SpawnCmdTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void retryZeroOrLessRunsNothing_data();
    void retryZeroOrLessRunsNothing();
    void retryAlwaysFailing();
    void retrySucceedsAtSecondAttempt();
    void exitZeroWithStandardError();
    void textEndsAtNul();
    void appendsToOutput();
    void failureKeepsOutput();
    void threeArgumentsDropsStandardError();
    void mergedChannels_data();
    void mergedChannels();
    void cannotStart_data();
    void cannotStart();
    void childSeesLcAllC();
    void withInput_data();
    void withInput();
    void outputHeldAfterTheEnd();
    void unreadInput();
    void howItEnded_data();
    void howItEnded();
    void sudoOnlyWithoutRoot_data();
    void sudoOnlyWithoutRoot();
    void timeLimitEndsTheProcessGroup();  // last: no program starts after it

private:
    QString script(const QString& name, const QString& body);
    QString countingScript(const QString& name, const QString& body);

    // Run by their full path, so PATH stays as it is.
    QScopedPointer<FakePrograms> m_scripts;
};

void SpawnCmdTest::init() {
    m_scripts.reset(new FakePrograms(FakePrograms::OnPath::Not));
}

QString SpawnCmdTest::script(const QString& name, const QString& body) {
    return m_scripts->installScript(name, body.toUtf8());
}

// body runs with $n holding how often the script has run so far, this run included.
QString SpawnCmdTest::countingScript(const QString& name, const QString& body) {
    const QString count = m_scripts->file(name + ".count");
    return script(name, QString("echo x >> '%1'\nn=$(wc -l < '%1')\n").arg(count) + body);
}

void SpawnCmdTest::retryZeroOrLessRunsNothing_data() {
    QTest::addColumn<int>("retries");
    QTest::newRow("0") << 0;
    QTest::newRow("-1") << -1;
}

void SpawnCmdTest::retryZeroOrLessRunsNothing() {
    QFETCH(int, retries);
    const QString marker = m_scripts->file("ran");
    const QString cmd = script("touch-marker", QString("touch '%1'").arg(marker));
    QString output;
    QString error;
    MessageCapture log;
    QVERIFY(!SpawnCmd(cmd, {}, output, error, retries));
    QVERIFY(!QFile::exists(marker));
    QVERIFY(log.messages().isEmpty());
}

void SpawnCmdTest::retryAlwaysFailing() {
    const QString cmd =
        countingScript("always-fails", "echo \"out $n\"\necho \"err $n\" >&2\nexit 1");
    QString output;
    QString error;
    MessageCapture log;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!SpawnCmd(cmd, {}, output, error, 3));
    QVERIFY(timer.elapsed() >= 2900);  // a one-second pause after each failed attempt

    QCOMPARE(output, QString("out 1\nout 2\nout 3\n"));
    QCOMPARE(error, QString("err 1\nerr 2\nerr 3\n"));
    const QList<LoggedMessage>& messages = log.messages();
    QCOMPARE(messages.size(), 6);
    // Each pair: the error text gathered so far, then the retry notice.
    QCOMPARE(messages[0].text, QString("\"err 1\\n\""));
    QCOMPARE(messages[2].text, QString("\"err 1\\nerr 2\\n\""));
    QCOMPARE(messages[4].text, QString("\"err 1\\nerr 2\\nerr 3\\n\""));
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(messages[i].type, QtDebugMsg);
        if (i % 2 == 1) {
            QCOMPARE(messages[i].text, QString("try again!!!!!"));
        }
        QCOMPARE(messages[i].function,
                 QString("bool SpawnCmd(const QString&, const QStringList&, QString&, QString&, "
                         "int)"));
    }
}

void SpawnCmdTest::retrySucceedsAtSecondAttempt() {
    const QString cmd = countingScript("second-time", "echo \"run $n\"\n[ \"$n\" -ge 2 ]");
    QString output;
    QString error;
    MessageCapture log;
    QVERIFY(SpawnCmd(cmd, {}, output, error, 5));
    QCOMPARE(output, QString("run 1\nrun 2\n"));
    QCOMPARE(log.messages().size(), 2);
}

void SpawnCmdTest::exitZeroWithStandardError() {
    const QString cmd = script("warns", "echo 'a warning' >&2");
    QString output;
    QString error;
    QVERIFY(SpawnCmd(cmd, {}, output, error));
    QCOMPARE(output, QString());
    QCOMPARE(error, QString("a warning\n"));
}

void SpawnCmdTest::textEndsAtNul() {
    const QString cmd = script("nul", "printf 'abc\\000def'\nprintf 'e1\\000e2' >&2");
    QString output;
    QString error;
    QVERIFY(SpawnCmd(cmd, {}, output, error));
    QCOMPARE(output, QString("abc"));
    QCOMPARE(error, QString("e1"));
}

void SpawnCmdTest::appendsToOutput() {
    const QString cmd = script("echo-args", "echo \"$@\"\necho \"$1\" >&2");
    QString output = "before\n";
    QString error = "old error;";
    QVERIFY(SpawnCmd(cmd, {"one two", "three"}, output, error));
    QCOMPARE(output, QString("before\none two three\n"));
    QCOMPARE(error, QString("old error;one two\n"));
}

void SpawnCmdTest::failureKeepsOutput() {
    const QString exits = script("exits-3", "echo partial\nexit 3");
    const QString crashes = script("crashes", "echo before-signal\nkill -SEGV $$");
    for (const QString& cmd : {exits, crashes}) {
        QString output;
        QString error;
        QVERIFY(!SpawnCmd(cmd, {}, output, error));
        QVERIFY2(output.startsWith("partial") || output.startsWith("before-signal"),
                 qPrintable(output));
    }
}

void SpawnCmdTest::threeArgumentsDropsStandardError() {
    const QString cmd = script("both", "echo out\necho err >&2");
    QString output = ">";
    QVERIFY(SpawnCmd(cmd, {}, output));
    QCOMPARE(output, QString(">out\n"));
}

void SpawnCmdTest::mergedChannels_data() {
    QTest::addColumn<QString>("body");
    QTest::addColumn<bool>("ok");
    QTest::newRow("only standard error, exit 0") << "echo only-error >&2" << true;
    QTest::newRow("exit 4") << "echo out\nexit 4" << false;
    // More than a pipe holds, on both channels, although nobody reads it.
    QTest::newRow("much output")
        << "head -c 3000000 /dev/zero | tr '\\0' x\nhead -c 3000000 /dev/zero | tr '\\0' y >&2"
        << true;
}

void SpawnCmdTest::mergedChannels() {
    QFETCH(QString, body);
    QFETCH(bool, ok);
    QCOMPARE(SpawnCmd(script("merged", body), {}), ok);
}

void SpawnCmdTest::cannotStart_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing") << "missing";
    QTest::newRow("not executable") << "not-executable";
}

void SpawnCmdTest::cannotStart() {
    QFETCH(QString, kind);
    QString cmd = m_scripts->file("no-such-program");
    if (kind == "not-executable") {
        QVERIFY(writeFile(cmd, "#!/bin/sh\nexit 0\n"));
    }
    QString output;
    QString error;
    QVERIFY(!SpawnCmd(cmd, {}));
    QVERIFY(!SpawnCmd(cmd, {}, output));
    QVERIFY(!SpawnCmd(cmd, {}, output, error));
    QVERIFY(!SpawnCmdWithInput(cmd, {}, "x\n", output, error));
    QVERIFY(output.isEmpty());
}

// Read as a C program reads them (the first entry of a name): the C locale, and none of the
// caller's variables that change the unit or layout of a program's figures.
void SpawnCmdTest::childSeesLcAllC() {
    const QStringList names{"LC_ALL",          "BLOCK_SIZE",    "BLOCKSIZE",
                            "DU_BLOCK_SIZE",   "DF_BLOCK_SIZE", "LS_BLOCK_SIZE",
                            "POSIXLY_CORRECT", "LSBLK_COLUMNS", "QUOTING_STYLE"};
    for (const QString& name : names) {
        qputenv(name.toLatin1(), "1M");
    }
    QString output;
    SpawnCmd("printenv", names, output);  // exits 1: not all of them are set
    for (const QString& name : names) {
        qunsetenv(name.toLatin1());
    }
    QCOMPARE(output, QString("C\n"));
}

// The runner that feeds standard input (the JFS reader's): input reaches the child, both
// channels are gathered, and a child that never stops printing is stopped.
void SpawnCmdTest::withInput_data() {
    QTest::addColumn<QString>("body");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("error");

    QTest::newRow("input echoed") << "cat\necho \"$LC_ALL\" >&2" << true << "before:dm\nx\n"
                                  << "C\n";
    QTest::newRow("exit 2 keeps output") << "cat\nexit 2" << false << "before:dm\nx\n"
                                         << "";
    QTest::newRow("endless output stopped") << "while :; do echo prompt; done" << false << ""
                                            << "";
    QTest::newRow("output closed early") << "exec 1>&-\nsleep 1\necho late >&2" << true << "before:"
                                         << "late\n";
    QTest::newRow("NUL ends the text") << "printf 'a\\000b'" << true << "before:a"
                                       << "";
}

void SpawnCmdTest::withInput() {
    QFETCH(QString, body);
    QFETCH(bool, ok);
    QFETCH(QString, output);
    QFETCH(QString, error);
    QString gotOutput = "before:";
    QString gotError;
    QCOMPARE(SpawnCmdWithInput(script("interactive", body), {}, "dm\nx\n", gotOutput, gotError,
                               64 * 1024),
             ok);
    if (QTest::currentDataTag() == QLatin1String("endless output stopped")) {
        QVERIFY(gotOutput.startsWith("before:prompt\n"));
        return;
    }
    QCOMPARE(gotOutput, output);
    QCOMPARE(gotError, error);
}

// The run ends with the child, as before: a process it left running that still holds its
// output (a daemon it started) does not keep us waiting.
void SpawnCmdTest::outputHeldAfterTheEnd() {
    QElapsedTimer timer;
    timer.start();
    QString output;
    QVERIFY(SpawnCmd(script("starter", "(sleep 5; echo late) &\necho done"), {}, output));
    QVERIFY2(timer.elapsed() < 4000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(output, QString("done\n"));
}

// A child that leaves its input unread must not take this process down with SIGPIPE.
void SpawnCmdTest::unreadInput() {
    QString output;
    QString error;
    QVERIFY(
        SpawnCmdWithInput(script("deaf", "exit 0"), {}, QByteArray(4 << 20, 'x'), output, error));
}

void SpawnCmdTest::howItEnded_data() {
    QTest::addColumn<QString>("body");  // empty: no such program
    QTest::addColumn<bool>("started");
    QTest::addColumn<bool>("crashed");
    QTest::addColumn<int>("code");

    QTest::newRow("exit 0") << "exit 0" << true << false << 0;
    QTest::newRow("exit 3 after complaining") << "echo no >&2\nexit 3" << true << false << 3;
    QTest::newRow("exit 137 is no signal") << "exit 137" << true << false << 137;
    QTest::newRow("SIGKILL") << "echo half\nkill -9 $$" << true << true << 9;
    QTest::newRow("SIGSEGV") << "kill -11 $$" << true << true << 11;
    QTest::newRow("cannot start") << "" << false << false << -1;
    // Standard input is empty and closed: a child that reads it goes on instead of waiting.
    QTest::newRow("reads its input to the end") << "cat\nexit 5" << true << false << 5;
}

void SpawnCmdTest::howItEnded() {
    QFETCH(QString, body);
    QFETCH(bool, started);
    QFETCH(bool, crashed);
    QFETCH(int, code);

    const QString cmd = body.isEmpty() ? m_scripts->file("no-such-program") : script("end", body);
    QString output;
    QString error;
    SpawnExit exit;
    QCOMPARE(SpawnCmd(cmd, {}, output, error, exit), started && !crashed && code == 0);
    QCOMPARE(exit.started, started);
    QCOMPARE(exit.crashed, crashed);
    QCOMPARE(exit.code, code);
}

void SpawnCmdTest::sudoOnlyWithoutRoot_data() {
    QTest::addColumn<bool>("root");
    QTest::addColumn<QString>("asked");  // the program and its arguments
    QTest::addColumn<QString>("started");
    QTest::newRow("root: the command") << true << "sudo mkdir -p /d"
                                       << "mkdir -p /d";
    QTest::newRow("user: through sudo") << false << "sudo mkdir -p /d"
                                        << "sudo mkdir -p /d";
    QTest::newRow("root: sudo's own options") << true << "sudo -u a id"
                                              << "sudo -u a id";
}

void SpawnCmdTest::sudoOnlyWithoutRoot() {
    QFETCH(bool, root);
    QFETCH(QString, asked);
    QFETCH(QString, started);
    const QStringList argv = asked.split(' ');
    const ChildRequest request = withoutSudoForRoot({argv.first(), argv.mid(1)}, root);
    QCOMPARE((QStringList{request.program} + request.args).join(' '), started);
}

// At its limit the program is killed with what it started, and no later program starts. Its
// outputs closed, it is waited for all the same.
void SpawnCmdTest::timeLimitEndsTheProcessGroup() {
    setTimeLimits([](const QString&, const QStringList&) { return 1; });
    const QString marker = m_scripts->file("grandchild-lived");
    const QString hung =
        script("hung", QString("exec >&- 2>&-\n(sleep 2; touch '%1') &\nsleep 60").arg(marker));
    QElapsedTimer timer;
    timer.start();
    QString output;
    QString error;
    SpawnExit exit;
    QVERIFY(!SpawnCmd(hung, {"x"}, output, error, exit));
    QVERIFY2(exit.timedOut && exit.crashed && timer.elapsed() < 4000,
             qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(firstTimedOutProgram().command, hung + " x");
    QCOMPARE(firstTimedOutProgram().seconds, 1);
    QTest::qWait(2500);
    QVERIFY(!QFile::exists(marker));
    QVERIFY(!SpawnCmd(script("later", "exit 0"), {}));
}

QTEST_GUILESS_MAIN(SpawnCmdTest)
#include "tst_spawncmd.moc"
