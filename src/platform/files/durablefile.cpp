#include "platform/files/durablefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <algorithm>
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

QByteArray temporaryName(const QByteArray& path, int attempt) {
    const int slash = path.lastIndexOf('/');
    return path.left(slash + 1) + "." + path.mid(slash + 1) + "." + QByteArray::number(::getpid()) +
           "." + QByteArray::number(attempt);
}

// A new file beside path, made by this call alone: its descriptor, or -1 with errno set. Where
// the file system allows, the file has no name until it is complete and synced (O_TMPFILE), so
// that a cut before the rename is on the disk leaves nothing behind; temporary stays empty then.
int createBeside(const QByteArray& path, QByteArray& temporary) {
    const QByteArray directory = path.left(std::max(path.lastIndexOf('/'), 1));
    const int unnamed = ::open(directory.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (unnamed >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) {
        return unnamed;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = temporaryName(path, attempt);
        const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

// Gives the complete, synced, unnamed file a name beside path, to be renamed at once: the two
// changes reach the journal together. False with errno set.
bool nameUnnamed(int fd, const QByteArray& path, QByteArray& temporary) {
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = temporaryName(path, attempt);
        if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, temporary.constData(),
                     AT_SYMLINK_FOLLOW) == 0) {
            return true;
        }
        if (errno != EEXIST) {
            temporary.clear();
            return false;
        }
    }
    temporary.clear();
    return false;
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
    if (done && temporary.isEmpty()) {
        done = nameUnnamed(fd, target, temporary);
    }
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
        if (!temporary.isEmpty()) {
            ::unlink(temporary.constData());
        }
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

QString foreseenWriteError(const QString& path, qint64 size) {
    const QFileInfo existing(path);
    if (existing.isDir()) {
        return qt_error_string(EISDIR);
    }
    const QByteArray file = QFile::encodeName(path);
    if (existing.exists() && ::access(file.constData(), W_OK) != 0) {
        return qt_error_string(errno);  // immutable, or a read-only file system
    }
    const QByteArray directory = QFile::encodeName(existing.absolutePath());
    struct statvfs room {};
    if (::access(directory.constData(), W_OK | X_OK) != 0 ||
        ::statvfs(directory.constData(), &room) != 0) {
        return qt_error_string(errno);
    }
    // As root the save may use the blocks kept for root; the old file is freed only after.
    const quint64 block = std::max<quint64>(room.f_frsize, 1);
    const quint64 blocks = (quint64(size) + block - 1) / block;
    if (blocks > room.f_bfree || (room.f_files > 0 && room.f_ffree == 0)) {
        return qt_error_string(ENOSPC);
    }
    return QString();
}
