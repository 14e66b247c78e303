#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QtTest>

// A directory of fake programs placed first on PATH for the life of the object.
class FakeBin {
public:
    FakeBin() : m_oldPath(qgetenv("PATH")) {
        qputenv("PATH", m_dir.path().toLocal8Bit() + ":" + m_oldPath);
    }
    ~FakeBin() { qputenv("PATH", m_oldPath); }

    // Writes an executable /bin/sh script named name.
    void add(const QString& name, const QByteArray& body) {
        QFile file(path(name));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("#!/bin/sh\n" + body + "\n");
        file.close();
        QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }

    // The only directory on PATH, so that nothing else can be found.
    void isolate() { qputenv("PATH", m_dir.path().toLocal8Bit()); }

    QString path(const QString& name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
    QByteArray m_oldPath;
};

// A sudo that runs its arguments, as the live system's does for root.
inline const QByteArray kPassThroughSudo = "exec \"$@\"";

// A sudo that answers "sudo blkid" from $FAKE_BLKID_OUTPUT (exit $FAKE_BLKID_EXIT) and runs
// everything else.
inline const QByteArray kBlkidSudo =
    "if [ \"$1\" = blkid ]; then\n"
    "  [ -n \"$FAKE_BLKID_OUTPUT\" ] && cat \"$FAKE_BLKID_OUTPUT\"\n"
    "  echo \"blkid: fake stderr\" >&2\n"
    "  exit ${FAKE_BLKID_EXIT:-0}\n"
    "fi\n"
    "exec \"$@\"";

// An fsck that records its arguments as [arg] one line per call in $FAKE_FSCK_LOG, prints
// to both channels and exits with 4 for the devices listed in $FAKE_FSCK_ERRORS, with
// $FAKE_FSCK_EXIT otherwise; "crash" kills itself.
inline const QByteArray kFakeFsck =
    "for a in \"$@\"; do printf '[%s]' \"$a\" >> \"${FAKE_FSCK_LOG:-/dev/null}\"; done\n"
    "echo >> \"${FAKE_FSCK_LOG:-/dev/null}\"\n"
    "echo \"fsck out $*\"\n"
    "echo \"fsck err $*\" >&2\n"
    "for a in \"$@\"; do last=\"$a\"; done\n"
    "for d in $FAKE_FSCK_ERRORS; do [ \"$d\" = \"$last\" ] && exit 4; done\n"
    "[ \"$FAKE_FSCK_EXIT\" = crash ] && kill -SEGV $$\n"
    "exit ${FAKE_FSCK_EXIT:-0}";

inline QByteArray readFixture(const QString& relative) {
    QFile file(QStringLiteral(FIXTURES_DIR "/recenv/") + relative);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "missing fixture" << file.fileName();
        return {};
    }
    return file.readAll();
}
