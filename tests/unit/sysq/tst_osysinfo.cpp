#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "common/testfiles.h"
#include "platform/otk/osysinfo.h"

using Otk::Core::OSysInfo;

class OSysInfoTest : public QObject {
    Q_OBJECT

private slots:
    void fixture_data();
    void fixture();
    void readKey_data();
    void readKey();
    void missingFile();
};

void OSysInfoTest::fixture_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");

    QTest::newRow("major") << "MajorVersion"
                           << "25";
    QTest::newRow("minor") << "MinorVersion"
                           << "1070";
    QTest::newRow("build") << "OsBuild"
                           << "11018.107";
    QTest::newRow("absent key") << "OsBuildNumber"
                                << "";
}

void OSysInfoTest::fixture() {
    QFETCH(QString, key);
    QFETCH(QString, value);
    QCOMPARE(OSysInfo::readVersionKey(fixturePath("osversion/os-version"), key), value);
}

void OSysInfoTest::readKey_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");

    QTest::newRow("blanks around =")
        << QByteArray("[Version]\nMajorVersion = 23 \n") << "MajorVersion"
        << "23";
    QTest::newRow("quoted value") << QByteArray("[Version]\nMinorVersion=\"1050\"\n")
                                  << "MinorVersion"
                                  << "1050";
    QTest::newRow("key in another group")
        << QByteArray("[Release]\nMajorVersion=23\n[Version]\nMinorVersion=1\n") << "MajorVersion"
        << "";
    QTest::newRow("key outside any group") << QByteArray("OsBuild=1\n") << "OsBuild"
                                           << "";
    QTest::newRow("group name is case-sensitive")
        << QByteArray("[version]\nMajorVersion=23\n") << "MajorVersion"
        << "";
    QTest::newRow("key is case-sensitive")
        << QByteArray("[Version]\nmajorversion=23\n") << "MajorVersion"
        << "";
    QTest::newRow("comment lines")
        << QByteArray("; note\n[Version]\n#x=1\nOsBuild=11018.107\n") << "OsBuild"
        << "11018.107";
    QTest::newRow("empty value") << QByteArray("[Version]\nOsBuild=\n") << "OsBuild"
                                 << "";
    QTest::newRow("empty file") << QByteArray() << "OsBuild"
                                << "";
}

void OSysInfoTest::readKey() {
    QFETCH(QByteArray, content);
    QFETCH(QString, key);
    QFETCH(QString, value);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.path() + "/os-version";
    QVERIFY(writeFile(path, content));
    QCOMPARE(OSysInfo::readVersionKey(path, key), value);
}

void OSysInfoTest::missingFile() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.path() + "/os-version";
    QCOMPARE(OSysInfo::readVersionKey(path, "MajorVersion"), QString());
    // Reading must not leave a file behind.
    QVERIFY(!QFile::exists(path));
}

QTEST_GUILESS_MAIN(OSysInfoTest)
#include "tst_osysinfo.moc"
