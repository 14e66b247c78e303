#pragma once

#include <QString>
#include <QStringList>

// The one way this program starts another program: directly, never through a shell unless
// the caller names one, waited for without a time limit. Success is a normal exit with code 0.
// Every child runs with LC_ALL=C so that the texts we parse never come out translated.

// Standard error merged into standard output; nothing collected.
bool SpawnCmd(const QString& cmd, const QStringList& args);
// Standard output appended to output; standard error read and dropped.
bool SpawnCmd(const QString& cmd, const QStringList& args, QString& output);
// Standard output appended to output, standard error appended to error.
bool SpawnCmd(const QString& cmd, const QStringList& args, QString& output, QString& error);
// Up to retryTimes attempts, one second apart; output and error gather every attempt.
bool SpawnCmd(const QString& cmd, const QStringList& args, QString& output, QString& error,
              int retryTimes);
