#pragma once

// Stand-ins for system programs: small /bin/sh scripts in a temporary directory that, as a
// rule, is put first on PATH while the object lives (PATH is put back when it goes). Every
// stand-in records each call - its LC_ALL and its arguments - beside itself, where calls()
// reads them back. Arguments must not hold line breaks.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtGlobal>

#include "common/testfiles.h"

class FakePrograms {
public:
    // Where the directory stands on PATH.
    enum class OnPath {
        BeforeCurrent,     // first, then PATH as it was
        BeforeSystemDirs,  // first, then only kSystemDirs
        Alone,             // nothing else can be found
        Not,               // PATH is left alone; programs are run by their full path
    };
    static constexpr const char* kSystemDirs = "/usr/sbin:/usr/bin:/sbin:/bin";

    explicit FakePrograms(OnPath onPath = OnPath::BeforeCurrent) : m_savedPath(qgetenv("PATH")) {
        if (!m_dir.isValid()) {
            qFatal("cannot make a directory for stand-in programs");
        }
        placeOnPath(onPath);
    }
    ~FakePrograms() { restorePath(); }
    FakePrograms(const FakePrograms&) = delete;
    FakePrograms& operator=(const FakePrograms&) = delete;

    void placeOnPath(OnPath onPath) {
        switch (onPath) {
            case OnPath::BeforeCurrent:
                setPath(searchPath(QString::fromLocal8Bit(m_savedPath)));
                break;
            case OnPath::BeforeSystemDirs:
                setPath(searchPath(kSystemDirs));
                break;
            case OnPath::Alone:
                setPath(dir());
                break;
            case OnPath::Not:
                break;
        }
    }

    // PATH as it was when the object was made.
    void restorePath() {
        if (m_pathChanged) {
            qputenv("PATH", m_savedPath);
            m_pathChanged = false;
        }
    }

    // A PATH value with the directory first, then rest (e.g. for a child's environment).
    QString searchPath(const QString& rest) const {
        return rest.isEmpty() ? dir() : dir() + ':' + rest;
    }

    bool isValid() const { return m_dir.isValid(); }
    QString dir() const { return m_dir.path(); }
    QString file(const QString& name) const { return m_dir.filePath(name); }

    // For stand-ins run by another user: the directory and every stand-in become open to all.
    void shareWithEveryone() {
        m_shared = true;
        QFile::setPermissions(dir(), QFileDevice::Permissions(0x7777));
    }

    struct Behaviour {
        QByteArray out;
        QByteArray err;
        int exitCode = 0;
        bool readStdin = false;  // only for programs that are given input: others would wait
    };

    // name prints b.out and b.err and exits with b.exitCode.
    void install(const QString& name, const Behaviour& b) {
        writeData(file(name + ".out"), b.out);
        writeData(file(name + ".err"), b.err);
        QString body;
        if (b.readStdin) {
            body += QStringLiteral("cat >> %1\n").arg(quoted(file(name + ".stdin")));
        }
        body += QStringLiteral("cat %1\ncat %2 >&2\nexit %3")
                    .arg(quoted(file(name + ".out")), quoted(file(name + ".err")))
                    .arg(b.exitCode);
        installScript(name, body.toUtf8());
    }

    // name prints text and exits with exitCode.
    void install(const QString& name, const QString& text, int exitCode = 0) {
        Behaviour b;
        b.out = text.toUtf8();
        b.exitCode = exitCode;
        install(name, b);
    }

    // name prints a fixture (a path below tests/fixtures).
    void installFixture(const QString& name, const QString& fixture, int exitCode = 0) {
        install(name, readFixture(fixture), exitCode);
    }

    // name runs body after recording the call. Returns its full path.
    QString installScript(const QString& name, const QByteArray& body) {
        const QString record =
            QStringLiteral(
                "{ printf 'LC_ALL=%s\\n' \"$LC_ALL\"; for a in \"$@\"; do printf 'arg:%s\\n' "
                "\"$a\"; done; echo end; } >> %1\n")
                .arg(quoted(file(name + ".calls")));
        const QString path = file(name);
        writeOrDie(path, "#!/bin/sh\n" + record.toUtf8() + body + "\n");
        QFile::setPermissions(path, m_shared
                                        ? QFileDevice::Permissions(0x7555)
                                        : QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    }

    struct Call {
        QString lcAll;
        QStringList args;
    };

    // Every call of name, in order.
    QList<Call> callRecords(const QString& name) const {
        QList<Call> result;
        Call current;
        const QString log = QString::fromUtf8(readFile(file(name + ".calls")));
        for (const QString& line : log.split('\n')) {
            if (line.startsWith(QLatin1String("LC_ALL="))) {
                current.lcAll = line.mid(7);
            } else if (line.startsWith(QLatin1String("arg:"))) {
                current.args.append(line.mid(4));
            } else if (line == QLatin1String("end")) {
                result.append(current);
                current = Call();
            }
        }
        return result;
    }

    // The argument lists of every call of name, in order.
    QList<QStringList> calls(const QString& name) const {
        QList<QStringList> result;
        for (const Call& call : callRecords(name)) {
            result.append(call.args);
        }
        return result;
    }

    // The arguments of the latest call; empty when there was none.
    QStringList lastCall(const QString& name) const {
        const QList<QStringList> all = calls(name);
        return all.isEmpty() ? QStringList() : all.last();
    }

    // What name read on standard input (Behaviour::readStdin).
    QByteArray stdinOf(const QString& name) const { return readFile(file(name + ".stdin")); }

    void forgetCalls(const QString& name) { QFile::remove(file(name + ".calls")); }

    // Removes every stand-in and everything recorded.
    void clear() {
        QDir dir(m_dir.path());
        for (const QString& entry : dir.entryList(QDir::Files | QDir::Hidden)) {
            dir.remove(entry);
        }
    }

private:
    static QString quoted(QString text) {
        return '\'' + text.replace('\'', QLatin1String("'\\''")) + '\'';
    }

    static void writeOrDie(const QString& path, const QByteArray& content) {
        if (!writeFile(path, content)) {
            qFatal("cannot write %s", qPrintable(path));
        }
    }

    // What a stand-in reads: other users' stand-ins too when shared.
    void writeData(const QString& path, const QByteArray& content) const {
        writeOrDie(path, content);
        if (m_shared) {
            QFile::setPermissions(path, QFileDevice::Permissions(0x6444));
        }
    }

    void setPath(const QString& value) {
        qputenv("PATH", value.toLocal8Bit());
        m_pathChanged = true;
    }

    QTemporaryDir m_dir;
    QByteArray m_savedPath;
    bool m_pathChanged = false;
    bool m_shared = false;
};
