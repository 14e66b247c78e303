#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <utility>

// Starting programs without fork(): posix_spawn lets the child borrow our memory until it
// executes, where a fork copies the page tables of the whole process and every later write
// to the heap faults. With a large disk listing in memory that cost more than the work itself.

struct ChildRequest {
    ChildRequest(QString program, QStringList args, QByteArray input = {})
        : program(std::move(program)), args(std::move(args)), input(std::move(input)) {}

    QString program;  // a bare name is looked up in PATH
    QStringList args;
    QByteArray input;         // written to standard input, which is then closed
    bool mergeErr = false;    // standard error goes where standard output goes
    qint64 outputLimit = -1;  // past this many bytes of output the child is killed; -1: none
    // Past this many milliseconds the child and every process it started (its own process
    // group) are killed; -1: none.
    qint64 timeLimitMs = -1;
};

struct ChildResult {
    bool started = false;
    bool crashed = false;  // ended by a signal
    int code = -1;         // the exit code; the signal number after a crash; -1 if not started
    bool overLimit = false;
    bool timedOut = false;  // killed at its time limit
    QByteArray out;
    QByteArray err;
    QString startError;  // why it could not start

    // Started, not killed, exit code 0.
    bool succeeded() const { return started && !crashed && code == 0; }
};

// Runs the program with LC_ALL=C added to our environment (the texts we parse must never
// come out translated) and waits for it, up to its time limit when it has one.
ChildResult runChild(const ChildRequest& request);

// SIGCHLD back to its default action, unblocked. A parent that ignores it (some service
// managers and shells do) passes that on, and the kernel then reaps every child before it
// can be waited for: each program would read as failed.
void resetChildSignal();
