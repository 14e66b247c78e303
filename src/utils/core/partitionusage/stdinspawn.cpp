#include "utils/core/partitionusage/stdinspawn.h"

#include <QProcess>
#include <QProcessEnvironment>

#include "utils/core/text/nultext.h"

namespace {

void Start(QProcess& process, const QString& cmd, const QStringList& args) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LC_ALL", "C");
    process.setProcessEnvironment(env);
    process.start(cmd, args, QIODevice::ReadWrite);
}

// Reads until the child ends; false when it wrote more than limit bytes (it is then killed).
bool Drain(QProcess& process, QByteArray& out, QByteArray& err, qint64 limit) {
    while (process.state() != QProcess::NotRunning) {
        if (!process.waitForReadyRead(-1) && process.state() != QProcess::NotRunning) {
            // Standard output closed while the child goes on: nothing more to read from it.
            process.waitForFinished(-1);
        }
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
        if (out.size() + err.size() > limit) {
            process.kill();
            process.waitForFinished(-1);
            return false;
        }
    }
    out += process.readAllStandardOutput();
    err += process.readAllStandardError();
    return true;
}

}  // namespace

bool SpawnCmdWithInput(const QString& cmd, const QStringList& args, const QByteArray& input,
                       QString& output, QString& error, qint64 outputLimit) {
    QProcess process;
    Start(process, cmd, args);
    if (!process.waitForStarted(-1)) {
        return false;
    }
    process.write(input);
    process.closeWriteChannel();
    QByteArray out;
    QByteArray err;
    const bool withinLimit = Drain(process, out, err, outputLimit);
    output.append(textUpToNul(out));
    error.append(textUpToNul(err));
    return withinLimit && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}
