#include "utils/core/command/spawncmd.h"

#include <unistd.h>

#include <QDebug>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QMutex>
#include <QThread>
#include <atomic>

#include "platform/text/nultext.h"
#include "utils/core/command/runcommand.h"
#include "utils/core/command/sudoprefix.h"

// How long each program took, for measuring the limits: off unless
// QT_LOGGING_RULES="orvik.programs.debug=true".
Q_LOGGING_CATEGORY(lcPrograms, "orvik.programs", QtInfoMsg)

namespace {

std::atomic<TimeLimitOf> g_limitOf{nullptr};
QMutex g_timedOutLock;
TimedOutProgram g_timedOut;  // guarded by g_timedOutLock

QString commandText(const ChildRequest& request) {
    return QStringList(QStringList{request.program} + request.args).join(' ');
}

void recordTimeOut(const ChildRequest& request) {
    const QString command = commandText(request);
    const int seconds = int(request.timeLimitMs / 1000);
    qWarning().noquote() << QStringLiteral(
                                "Stopped \"%1\": it did not end within its time limit "
                                "of %2 seconds")
                                .arg(command)
                                .arg(seconds);
    QMutexLocker locker(&g_timedOutLock);
    if (g_timedOut.command.isEmpty()) {
        g_timedOut = {command, seconds};
    }
}

}  // namespace

void setTimeLimits(TimeLimitOf limitOf) {
    g_limitOf = limitOf;
}

TimedOutProgram firstTimedOutProgram() {
    QMutexLocker locker(&g_timedOutLock);
    return g_timedOut;
}

ChildResult runCommand(ChildRequest request) {
    request = withoutSudoForRoot(std::move(request), geteuid() == 0);
    if (!firstTimedOutProgram().command.isEmpty()) {
        ChildResult refused;
        refused.startError = QStringLiteral("an earlier program did not end within its time limit");
        qWarning() << "Cannot start" << request.program << ":" << refused.startError;
        return refused;
    }
    const TimeLimitOf limitOf = g_limitOf;
    const int seconds = limitOf ? limitOf(request.program, request.args) : 0;
    request.timeLimitMs = seconds > 0 ? seconds * 1000LL : -1;
    QElapsedTimer took;
    took.start();
    const ChildResult child = runChild(request);
    qCDebug(lcPrograms).noquote() << commandText(request) << "took" << took.elapsed() << "ms";
    if (!child.started) {
        qWarning() << "Cannot start" << request.program << ":" << child.startError;
    }
    if (child.timedOut) {
        recordTimeOut(request);
    }
    return child;
}

bool SpawnCmd(const QString& cmd, const QStringList& args) {
    ChildRequest request(cmd, args);
    request.mergeErr = true;
    return runCommand(request).succeeded();
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
    const ChildResult child = runCommand(ChildRequest(cmd, args));
    output.append(textUpToNul(child.out));
    error.append(textUpToNul(child.err));
    exit.started = child.started;
    exit.crashed = child.crashed;
    exit.code = child.code;
    exit.timedOut = child.timedOut;
    return child.succeeded();
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
