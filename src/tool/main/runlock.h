#pragma once

#include <QString>

// Two runs at once (the graphical front end and a terminal, a double click) would both read
// and rewrite the save-path index and the task file. A run that will write holds this lock
// from the machine checks until it exits.
class RunLock {
public:
    RunLock() = default;
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;
    ~RunLock();

    // Takes the exclusive lock on path, waiting up to waitSeconds for another run to let it
    // go (saying so once). NoError, or OtherError when it could not be had.
    int acquire(const QString& path, int waitSeconds);

private:
    int m_fd = -1;
};

extern const char runLockPath[];

// How long a run waits for another: 60 seconds. ORVIK_LOCK_WAIT_SECONDS shortens it; it
// exists for the tests only, which would otherwise wait a minute for each refusal.
int runLockWaitSeconds();
