#include "utils/core/command/spawncmd.h"

#include <QDebug>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include "utils/core/text/nultext.h"

namespace {

// Every caller parses English output; a translated tool must not break a parser.
void setUp(QProcess& process, const QString& cmd, const QStringList& args) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LC_ALL", "C");
    process.setProcessEnvironment(env);
    process.setProgram(cmd);
    process.setArguments(args);
}

bool finishedWell(const QProcess& process) {
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 &&
           process.error() != QProcess::FailedToStart;
}

}  // namespace

bool SpawnCmd(const QString& cmd, const QStringList& args) {
    QProcess process;
    setUp(process, cmd, args);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QIODevice::ReadWrite);
    process.waitForFinished(-1);
    return finishedWell(process);
}

bool SpawnCmd(const QString& cmd, const QStringList& args, QString& output) {
    QString error;
    return SpawnCmd(cmd, args, output, error);
}

bool SpawnCmd(const QString& cmd, const QStringList& args, QString& output, QString& error) {
    SpawnExit exit;
    return SpawnCmd(cmd, args, output, error, exit);
}

bool SpawnCmd(const QString& cmd, const QStringList& args, QString& output, QString& error,
              SpawnExit& exit) {
    QProcess process;
    setUp(process, cmd, args);
    process.start(QIODevice::ReadWrite);
    process.waitForFinished(-1);
    output.append(textUpToNul(process.readAllStandardOutput()));
    error.append(textUpToNul(process.readAllStandardError()));
    exit.started = process.error() != QProcess::FailedToStart;
    // After a crash QProcess keeps the signal number as the exit code.
    exit.crashed = exit.started && process.exitStatus() == QProcess::CrashExit;
    exit.code = exit.started ? process.exitCode() : -1;
    return finishedWell(process);
}

bool SpawnCmd(const QString& cmd, const QStringList& args, QString& output, QString& error,
              int retryTimes) {
    for (int attempt = 1; attempt <= retryTimes; ++attempt) {
        if (SpawnCmd(cmd, args, output, error)) {
            return true;
        }
        qDebug() << error;
        qDebug() << "try again!!!!!";
        QThread::sleep(1);
    }
    return false;
}
