#include "platform/files/durablefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <cerrno>

namespace {

// fsync of whatever path names; open for reading serves files and directories alike.
bool syncPath(const QString& path, int flags, QString& error) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | flags);
    if (fd < 0) {
        error = qt_error_string(errno);
        return false;
    }
    const bool synced = ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    if (!synced) {
        error = qt_error_string(saved);
    }
    return synced;
}

bool syncDirectoryOf(const QString& path, QString& error) {
    const QString directory = QFileInfo(path).absolutePath();
    if (syncPath(directory, O_DIRECTORY, error)) {
        return true;
    }
    error = QString("the directory %1 could not be synced: %2").arg(directory, error);
    return false;
}

bool writeAll(int fd, const QByteArray& content) {
    const char* data = content.constData();
    qint64 left = content.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}

// A new file beside path, made by this call alone: its descriptor, or -1 with errno set.
int createBeside(const QByteArray& path, QByteArray& temporary) {
    const int slash = path.lastIndexOf('/');
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = path.left(slash + 1) + "." + path.mid(slash + 1) + "." +
                    QByteArray::number(::getpid()) + "." + QByteArray::number(attempt);
        const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

// Content, permissions and sync of the new file; false with errno set.
bool fillAndSync(int fd, const QByteArray& path, const QByteArray& content) {
    struct stat earlier {};
    if (::stat(path.constData(), &earlier) == 0 && S_ISREG(earlier.st_mode) &&
        ::fchmod(fd, earlier.st_mode & 07777) != 0) {
        return false;
    }
    return writeAll(fd, content) && ::fsync(fd) == 0;
}

}  // namespace

bool writeFileDurably(const QString& path, const QByteArray& content, QString& error) {
    const QByteArray target = QFile::encodeName(path);
    QByteArray temporary;
    const int fd = createBeside(target, temporary);
    if (fd < 0) {
        error = qt_error_string(errno);
        return false;
    }
    bool done = fillAndSync(fd, target, content);
    int saved = errno;
    if (::close(fd) != 0 && done) {
        done = false;
        saved = errno;
    }
    if (done && ::rename(temporary.constData(), target.constData()) != 0) {
        done = false;
        saved = errno;
    }
    if (!done) {
        ::unlink(temporary.constData());
        error = qt_error_string(saved);
        return false;
    }
    return syncDirectoryOf(path, error);
}

bool syncFile(const QString& path, QString& error) {
    return syncPath(path, 0, error);
}

bool syncDirectory(const QString& path, QString& error) {
    return syncPath(path, O_DIRECTORY, error);
}

bool removeFileDurably(const QString& path, QString& error) {
    if (::unlink(QFile::encodeName(path).constData()) != 0) {
        error = qt_error_string(errno);
        return false;
    }
    return syncDirectoryOf(path, error);
}
