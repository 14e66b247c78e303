#pragma once

// Helpers of the core tests: captured log messages, fixtures, and stand-ins for system programs.

#include <QDir>
#include <QFile>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>
#include <QtGlobal>

struct LoggedMessage {
    QtMsgType type;
    QString text;
    QString function;
};

// Collects every message written while it lives, instead of printing it.
class MessageCapture {
public:
    MessageCapture() {
        s_messages.clear();
        m_previous = qInstallMessageHandler(&MessageCapture::handle);
    }
    ~MessageCapture() { qInstallMessageHandler(m_previous); }
    MessageCapture(const MessageCapture&) = delete;
    MessageCapture& operator=(const MessageCapture&) = delete;

    const QList<LoggedMessage>& messages() const { return s_messages; }
    QList<LoggedMessage> ofType(QtMsgType type) const {
        QList<LoggedMessage> result;
        for (const LoggedMessage& m : s_messages) {
            if (m.type == type) {
                result.append(m);
            }
        }
        return result;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text) {
        s_messages.append({type, text, QString::fromUtf8(context.function)});
    }

    inline static QList<LoggedMessage> s_messages;
    QtMessageHandler m_previous = nullptr;
};

inline QString usageFixturePath(const QString& name) {
    return QStringLiteral(FIXTURES_DIR "/usage/") + name;
}

inline QString readUsageFixture(const QString& name) {
    QFile in(usageFixturePath(name));
    if (!in.open(QIODevice::ReadOnly)) {
        qFatal("missing fixture %s", qPrintable(name));
    }
    return QString::fromUtf8(in.readAll());
}

// The device path a fixture was captured from (kept beside it in <name>.device).
inline QString fixtureDevice(const QString& name) {
    return readUsageFixture(name + ".device").trimmed();
}

inline void writeFileOrDie(const QString& path, const QByteArray& bytes, bool executable = false) {
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(bytes) != bytes.size()) {
        qFatal("cannot write %s", qPrintable(path));
    }
    out.close();
    if (executable) {
        out.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
}

// Stand-ins for system programs, in a temporary directory put first on PATH while it lives.
// Each records its environment's LC_ALL and its arguments, optionally what it read on standard
// input, writes prepared texts to standard output and standard error, and exits with a code.
class FakeTools {
public:
    FakeTools() : m_oldPath(qgetenv("PATH")) {
        qputenv("PATH", m_dir.path().toUtf8() + ":" + m_oldPath);
    }
    ~FakeTools() { qputenv("PATH", m_oldPath); }
    FakeTools(const FakeTools&) = delete;
    FakeTools& operator=(const FakeTools&) = delete;

    QString dir() const { return m_dir.path(); }

    struct Behaviour {
        QByteArray out;
        QByteArray err;
        int exitCode = 0;
        bool readStdin = false;  // only for tools that are given input: others would wait on it
    };

    void install(const QString& name, const Behaviour& b) {
        writeFileOrDie(file(name + ".out"), b.out);
        writeFileOrDie(file(name + ".err"), b.err);
        QString script = QStringLiteral("#!/bin/sh\n");
        script += QStringLiteral(
                      "{ echo \"LC_ALL=$LC_ALL\"; for a in \"$@\"; do echo \"arg:$a\"; done; "
                      "echo end; } >> '%1'\n")
                      .arg(file(name + ".calls"));
        if (b.readStdin) {
            script += QStringLiteral("cat >> '%1'\n").arg(file(name + ".stdin"));
        }
        script += QStringLiteral("cat '%1'\ncat '%2' >&2\nexit %3\n")
                      .arg(file(name + ".out"), file(name + ".err"))
                      .arg(b.exitCode);
        writeFileOrDie(file(name), script.toUtf8(), true);
    }

    void installScript(const QString& name, const QByteArray& script) {
        writeFileOrDie(file(name), script, true);
    }

    struct Call {
        QString lcAll;
        QStringList args;
    };

    QList<Call> calls(const QString& name) const {
        QList<Call> result;
        Call current;
        for (const QString& line : readAll(name + ".calls").split('\n')) {
            if (line.startsWith("LC_ALL=")) {
                current.lcAll = line.mid(7);
            } else if (line.startsWith("arg:")) {
                current.args.append(line.mid(4));
            } else if (line == QLatin1String("end")) {
                result.append(current);
                current = Call();
            }
        }
        return result;
    }

    QByteArray stdinOf(const QString& name) const { return readAll(name + ".stdin").toUtf8(); }

    QString file(const QString& name) const { return m_dir.filePath(name); }

private:
    QString readAll(const QString& name) const {
        QFile in(file(name));
        return in.open(QIODevice::ReadOnly) ? QString::fromUtf8(in.readAll()) : QString();
    }

    QTemporaryDir m_dir;
    QByteArray m_oldPath;
};
