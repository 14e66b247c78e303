#include "utils/core/command/spawncmd.h"

#include <QDebug>
#include <QThread>

#include "platform/process/childprocess.h"
#include "utils/core/text/nultext.h"

bool SpawnCmd(const QString& cmd, const QStringList& args) {
    ChildRequest request(cmd, args);
    request.mergeErr = true;
    return runChild(request).succeeded();
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
    const ChildResult child = runChild(ChildRequest(cmd, args));
    output.append(textUpToNul(child.out));
    error.append(textUpToNul(child.err));
    exit.started = child.started;
    exit.crashed = child.crashed;
    exit.code = child.code;
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
