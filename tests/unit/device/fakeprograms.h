#pragma once

// Stand-ins for system programs: small scripts in a temporary directory put first on PATH.
// Each records its argument lists and prints a prepared text with a chosen exit status.

#include <QDir>
#include <QFile>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>

class FakePrograms {
public:
    FakePrograms() : m_oldPath(qgetenv("PATH")) {
        qputenv("PATH", m_dir.path().toUtf8() + ":" + m_oldPath);
    }
    ~FakePrograms() { qputenv("PATH", m_oldPath); }
    FakePrograms(const FakePrograms&) = delete;
    FakePrograms& operator=(const FakePrograms&) = delete;

    QString path() const { return m_dir.path(); }

    // name prints text and exits with exitCode.
    void install(const QString& name, const QString& text, int exitCode = 0) {
        writeFile(name + ".out", text.toUtf8());
        const QString script = QString(
                                   "#!/bin/sh\n"
                                   "for a in \"$@\"; do printf '%s\\n' \"$a\"; done >> '%1'\n"
                                   "echo '%2' >> '%1'\n"
                                   "cat '%3'\n"
                                   "exit %4\n")
                                   .arg(file(name + ".args"), kEnd, file(name + ".out"))
                                   .arg(exitCode);
        writeFile(name, script.toUtf8());
        QFile::setPermissions(file(name), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                              QFile::ReadGroup | QFile::ExeGroup);
    }

    // name prints the content of a fixture file.
    void installFixture(const QString& name, const QString& fixture, int exitCode = 0) {
        QFile in(fixture);
        in.open(QIODevice::ReadOnly);
        install(name, QString::fromUtf8(in.readAll()), exitCode);
    }

    // Every argument list name was started with, in order.
    QList<QStringList> calls(const QString& name) const {
        QFile log(file(name + ".args"));
        QList<QStringList> result;
        if (!log.open(QIODevice::ReadOnly)) {
            return result;
        }
        QStringList current;
        for (const QString& line : QString::fromUtf8(log.readAll()).split('\n')) {
            if (line == kEnd) {
                result.append(current);
                current.clear();
            } else if (!line.isEmpty()) {
                current.append(line);
            }
        }
        return result;
    }

    void forgetCalls(const QString& name) { QFile::remove(file(name + ".args")); }

private:
    static constexpr const char* kEnd = "--end-of-call--";

    QString file(const QString& name) const { return m_dir.filePath(name); }

    void writeFile(const QString& name, const QByteArray& bytes) {
        QFile out(file(name));
        out.open(QIODevice::WriteOnly | QIODevice::Truncate);
        out.write(bytes);
    }

    QTemporaryDir m_dir;
    QByteArray m_oldPath;
};

inline QString fixture(const QString& name) {
    return QStringLiteral(FIXTURES_DIR "/device/") + name;
}

inline QString readFixture(const QString& name) {
    QFile in(fixture(name));
    in.open(QIODevice::ReadOnly);
    return QString::fromUtf8(in.readAll());
}
