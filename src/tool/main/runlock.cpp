#include "tool/main/runlock.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include "tool/main/options.h"

const char runLockPath[] = "/run/orvik-recovery-tool.lock";

namespace {

constexpr int kDefaultWaitSeconds = 60;
constexpr unsigned long kPollMilliseconds = 100;

bool tryLock(int fd) {
    return flock(fd, LOCK_EX | LOCK_NB) == 0;
}

}  // namespace

RunLock::~RunLock() {
    if (m_fd >= 0) {
        ::close(m_fd);  // closing lets the lock go
    }
}

int RunLock::acquire(const QString& path, int waitSeconds) {
    // Close-on-exec: a program we start must not keep the lock after we are gone.
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        qWarning() << "Cannot open the lock file" << path << ":" << strerror(errno);
        return OtherError;
    }
    if (tryLock(m_fd)) {
        return NoError;
    }
    qWarning() << "Another run of orvik-recovery-tool is in progress; waiting for it to end";
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < waitSeconds * 1000LL) {
        QThread::msleep(kPollMilliseconds);
        if (tryLock(m_fd)) {
            return NoError;
        }
    }
    qWarning() << "Another run of orvik-recovery-tool still holds" << path << "after" << waitSeconds
               << "seconds; nothing was done, try again later";
    return OtherError;
}

int runLockWaitSeconds() {
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("ORVIK_LOCK_WAIT_SECONDS", &ok);
    return ok && seconds >= 0 && seconds < kDefaultWaitSeconds ? seconds : kDefaultWaitSeconds;
}
