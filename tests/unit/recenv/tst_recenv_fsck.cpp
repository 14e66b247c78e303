#include <QtTest>

#include "common/fakeprograms.h"
#include "standins.h"
#include "utils/utils/fsck.h"

// fsck's exit codes mapped to the check's and the repair's answers, with a fake sudo that
// runs a fake fsck.
class FsckTest : public QObject {
    Q_OBJECT

private:
    FakePrograms m_bin;

    // fsck's calls, one line each.
    QString loggedArgs() const {
        QString text;
        for (const QString& line : bracketedCalls(m_bin, "fsck")) {
            text += line + '\n';
        }
        return text;
    }

private slots:
    void initTestCase() {
        m_bin.installScript("sudo", kPassThroughSudo);
        m_bin.installScript("fsck", kFakeFsck);
        qunsetenv("FAKE_FSCK_ERRORS");
    }

    void init() { m_bin.forgetCalls("fsck"); }

    void exitCodes_data() {
        QTest::addColumn<QString>("exit");
        QTest::addColumn<bool>("hasErrors");  // check
        QTest::addColumn<bool>("repaired");   // repair

        QTest::newRow("0 clean") << "0" << false << true;
        QTest::newRow("1 corrected") << "1" << false << true;
        QTest::newRow("2 reboot needed") << "2" << false << false;
        QTest::newRow("4 errors left") << "4" << true << false;
        QTest::newRow("8 operational error") << "8" << false << false;
        QTest::newRow("12 cancelled") << "12" << false << false;
        QTest::newRow("255") << "255" << false << false;
        QTest::newRow("crash") << "crash" << false << false;
    }

    void exitCodes() {
        QFETCH(QString, exit);
        QFETCH(bool, hasErrors);
        QFETCH(bool, repaired);
        qputenv("FAKE_FSCK_EXIT", exit.toLocal8Bit());

        QCOMPARE(Utils::checkPartitionErrorByFsck("/dev/sda2"), hasErrors);
        QString output;
        QString error;
        QCOMPARE(Utils::fixPartitionByFsck("/dev/sda2", output, error), repaired);
        QCOMPARE(loggedArgs(), QString("[-v][-n][/dev/sda2]\n[-y][/dev/sda2]\n"));
    }

    void pathIsOneArgument_data() {
        QTest::addColumn<QString>("path");
        QTest::newRow("blanks") << "/dev/disk/by-label/My Disk";
        QTest::newRow("semicolon") << "/dev/sda1; touch /tmp/owned";
        QTest::newRow("substitution") << "/dev/$(id -u)`id`";
        QTest::newRow("quotes") << "/dev/'a\"b";
    }

    void pathIsOneArgument() {
        QFETCH(QString, path);
        qputenv("FAKE_FSCK_EXIT", "4");
        QVERIFY(Utils::checkPartitionErrorByFsck(path));
        QString output;
        QString error;
        QVERIFY(!Utils::fixPartitionByFsck(path, output, error));
        QCOMPARE(loggedArgs(), QString("[-v][-n][%1]\n[-y][%1]\n").arg(path));
    }

    void repairAppendsTexts() {
        qputenv("FAKE_FSCK_EXIT", "1");
        QString output = "before out\n";
        QString error = "before err\n";
        QVERIFY(Utils::fixPartitionByFsck("/dev/sdb1", output, error));
        QCOMPARE(output, QString("before out\nfsck out -y /dev/sdb1\n"));
        QCOMPARE(error, QString("before err\nfsck err -y /dev/sdb1\n"));
    }

    void sudoMissing() {
        FakePrograms empty(FakePrograms::OnPath::Alone);
        qputenv("FAKE_FSCK_EXIT", "0");
        QString output;
        QString error;
        QVERIFY(!Utils::fixPartitionByFsck("/dev/sda2", output, error));
        QVERIFY(!Utils::checkPartitionErrorByFsck("/dev/sda2"));
    }
};

QTEST_GUILESS_MAIN(FsckTest)
#include "tst_recenv_fsck.moc"
