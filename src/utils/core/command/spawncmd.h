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
// How a program ended, for callers that must tell a crash from a normal failure.
struct SpawnExit {
    bool started = false;
    bool crashed = false;  // killed by a signal (or crashed) after it started
    int code = -1;         // the exit code of a normal exit; the signal number after a crash
};
// As above, and how the program ended.
bool SpawnCmd(const QString& cmd, const QStringList& args, QString& output, QString& error,
              SpawnExit& exit);
// Up to retryTimes attempts, one second apart; output and error gather every attempt.
bool SpawnCmd(const QString& cmd, const QStringList& args, QString& output, QString& error,
              int retryTimes);
