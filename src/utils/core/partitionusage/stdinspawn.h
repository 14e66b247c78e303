#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Runs cmd directly with args, writes input to its standard input and closes it, then gathers
// standard output and standard error like SpawnCmd (LC_ALL=C, text up to a NUL byte, appended).
// Interactive tools can loop on a prompt for ever once their input ends; when the output grows
// past outputLimit bytes the child is killed and the run counts as failed.
bool SpawnCmdWithInput(const QString& cmd, const QStringList& args, const QByteArray& input,
                       QString& output, QString& error, qint64 outputLimit = 4 * 1024 * 1024);
