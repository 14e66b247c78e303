#pragma once

#include <QString>
#include <QStringList>

// The one way this program starts another program: directly, never through a shell unless
// the caller names one, waited for up to the time limit set below (without one, for as long as
// it runs). Success is a normal exit with code 0. Every child runs with LC_ALL=C so that the
// texts we parse never come out translated. A program that cannot be started is logged with
// the reason. "sudo CMD ..." started by a process that is already root starts CMD itself.

// Standard error merged into standard output; nothing collected.
bool SpawnCmd(const QString& cmd, const QStringList& args);
// Standard output appended to output; standard error read and dropped.
bool SpawnCmd(const QString& cmd, const QStringList& args, QString& output);
// Standard output appended to output, standard error appended to error.
bool SpawnCmd(const QString& cmd, const QStringList& args, QString& output, QString& error);
// How a program ended, for callers that must tell a crash from a normal failure.
struct SpawnExit {
    bool started = false;
    bool crashed = false;   // killed by a signal (or crashed) after it started
    int code = -1;          // the exit code of a normal exit; the signal number after a crash
    bool timedOut = false;  // stopped at its time limit (crashed too)
};
// As above, and how the program ended.
bool SpawnCmd(const QString& cmd, const QStringList& args, QString& output, QString& error,
              SpawnExit& exit);
// Up to retryTimes attempts, one second apart; output and error gather every attempt.
bool SpawnCmd(const QString& cmd, const QStringList& args, QString& output, QString& error,
              int retryTimes);

// The time limit of each program, in seconds (0: none), as the program using this library
// sets it; without one set, no program has a limit. A program that reaches its limit is
// killed with every process it started, and logged. From then on no further program is
// started in this process (each fails at once): the run that met a hung program is to end,
// not meet the next one.
using TimeLimitOf = int (*)(const QString& program, const QStringList& args);
void setTimeLimits(TimeLimitOf limitOf);

// The first program stopped at its time limit, "program arguments...", and that limit; an
// empty command when none was.
struct TimedOutProgram {
    QString command;
    int seconds = 0;
};
TimedOutProgram firstTimedOutProgram();
