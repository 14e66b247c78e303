#include "tool/main/backupremoval.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QStringList>
#include <cerrno>
#include <utility>

#include "platform/mounts/mounttable.h"

namespace {

// A descriptor, closed on every way out.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(-1); }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_;
};

// The mount of the partition's root that the walk started from. A directory on another mount
// is never entered, even a bind of the same partition (same device, other mount) made inside
// the backup after the mount table was read.
struct WalkedMount {
    dev_t device = 0;
    int id = -1;  // the kernel's mount ID; -1 where the kernel does not tell
};

// The recorded directory, open, and its parent: unlinkat needs the parent and the name.
struct OpenBackup {
    Fd parent;
    Fd directory;
    QByteArray name;
    WalkedMount mount;
    bool gone = false;
};

QString errorText(int error) {
    switch (error) {
        case ELOOP:    // O_NOFOLLOW met a link
        case ENOTDIR:  // so did O_DIRECTORY, first
            return "it is a symbolic link or no directory";
        case EXDEV:
            return "it lies on another file system";
        default:
            return qt_error_string(error);
    }
}

// The directory name inside dir, opened without following a link; -1 with errno set, EXDEV
// when it lies on another mount. Every directory the deletion enters is entered here.
int enterDirectory(int dir, const QByteArray& name, const WalkedMount& mount) {
    Fd fd(::openat(dir, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        return -1;
    }
    if (st.st_dev != mount.device || mountIdOf(fd.get()) != mount.id) {
        errno = EXDEV;
        return -1;
    }
    return fd.release();
}

// The names below the mount point; empty, with refusal set, unless directory names a
// directory strictly inside the partition by plain names: a damaged or tampered index entry
// may say "/" or climb with "..".
QList<QByteArray> components(const QString& directory, QString& refusal) {
    const QStringList parts = directory.split('/');
    QList<QByteArray> names;
    for (const QString& part : parts.mid(1)) {
        if (part.isEmpty() || part == "." || part == "..") {
            names.clear();
            break;
        }
        names << QFile::encodeName(part);
    }
    if (names.isEmpty() || !parts.first().isEmpty()) {
        refusal = "it does not lie strictly inside its partition";
        return {};
    }
    return names;
}

// Anything mounted on the directory or inside it would be deleted with it; anything mounted
// between the partition's mount point and it shows other data under the recorded name.
QString mountRefusal(const QList<MountEntry>& table, const QString& mountPoint,
                     const QString& path) {
    for (const MountEntry& entry : table) {
        const QString& at = entry.mountPoint;
        if (at == mountPoint || !isUnderMountPoint(at, mountPoint)) {
            continue;
        }
        if (isUnderMountPoint(at, path) || isUnderMountPoint(path, at)) {
            return QString("a file system is mounted on %1").arg(at);
        }
    }
    return QString();
}

// Opens the recorded directory once the checks pass; the refusal, or empty. The walk starts
// from the root of the very partition the checks resolved, whatever the mount point shows now.
QString openBackup(const QString& mountPoint, quint64 partition, const QString& directory,
                   OpenBackup& backup) {
    QString refusal;
    const QList<QByteArray> names = components(directory, refusal);
    const QString root = QFileInfo(mountPoint).canonicalFilePath();
    if (names.isEmpty()) {
        return refusal;
    }
    if (root.isEmpty()) {
        return "its partition's mount point cannot be found";
    }
    QList<MountEntry> table;
    Fd current(openRootThrough(root, partition, table, refusal));
    if (current.get() < 0) {
        return refusal;
    }
    refusal = mountRefusal(table, root, QDir::cleanPath(root + directory));
    if (!refusal.isEmpty()) {
        return refusal;
    }
    struct stat st {};
    if (::fstat(current.get(), &st) != 0) {
        return QString("%1 cannot be opened: %2").arg(root, qt_error_string(errno));
    }
    backup.mount = WalkedMount{st.st_dev, mountIdOf(current.get())};
    QString walked = root;
    for (const QByteArray& name : names) {
        walked = QDir::cleanPath(walked + "/" + QFile::decodeName(name));
        const int next = enterDirectory(current.get(), name, backup.mount);
        if (next < 0) {
            backup.gone = errno == ENOENT;
            return backup.gone ? QString() : walked + ": " + errorText(errno);
        }
        backup.parent.reset(current.release());
        current.reset(next);
    }
    backup.directory.reset(current.release());
    backup.name = names.last();
    return QString();
}

void noteFailure(QString& failure, const QByteArray& name, int error) {
    if (failure.isEmpty()) {
        failure =
            QString("%1 cannot be deleted: %2").arg(QFile::decodeName(name), errorText(error));
    }
}

// The names in the directory but "." and ".."; false when it cannot be read.
bool listNames(int dir, QList<QByteArray>& names) {
    DIR* stream = ::fdopendir(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (stream == nullptr) {
        return false;
    }
    while (const dirent* entry = ::readdir(stream)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..") {
            names << name;
        }
    }
    ::closedir(stream);
    return true;
}

bool removeContents(int dir, const WalkedMount& mount, QString& failure);

// Links and files are unlinked, never followed; a directory is emptied first.
bool removeEntry(int dir, const QByteArray& name, const WalkedMount& mount, QString& failure) {
    struct stat st {};
    if (::fstatat(dir, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return true;  // gone meanwhile
        }
        noteFailure(failure, name, errno);
        return false;
    }
    int flags = 0;
    if (S_ISDIR(st.st_mode)) {
        Fd child(enterDirectory(dir, name, mount));
        if (child.get() < 0) {
            noteFailure(failure, name, errno);
            return false;
        }
        if (!removeContents(child.get(), mount, failure)) {
            return false;
        }
        flags = AT_REMOVEDIR;
    }
    if (::unlinkat(dir, name.constData(), flags) == 0 || errno == ENOENT) {
        return true;
    }
    noteFailure(failure, name, errno);
    return false;
}

// Empties the open directory, depth first; false, with failure set, when something stays.
bool removeContents(int dir, const WalkedMount& mount, QString& failure) {
    QList<QByteArray> names;
    if (!listNames(dir, names)) {
        noteFailure(failure, ".", errno);
        return false;
    }
    bool empty = true;
    for (const QByteArray& name : names) {
        empty = removeEntry(dir, name, mount, failure) && empty;
    }
    return empty;
}

QString removeOpenBackup(OpenBackup& backup) {
    QString failure;
    if (!removeContents(backup.directory.get(), backup.mount, failure)) {
        return failure;
    }
    backup.directory.reset(-1);
    if (::unlinkat(backup.parent.get(), backup.name.constData(), AT_REMOVEDIR) != 0 &&
        errno != ENOENT) {
        return errorText(errno);
    }
    return QString();
}

bool accepted(const QString& mountPoint, const QString& directory, const QString& refusal) {
    if (refusal.isEmpty()) {
        return true;
    }
    qWarning() << "The replaced backup could not be deleted:"
               << QDir::cleanPath(mountPoint + directory) << ":" << qPrintable(refusal);
    return false;
}

}  // namespace

bool mayRemoveBackupDirectory(const QString& mountPoint, quint64 partition,
                              const QString& directory) {
    OpenBackup backup;
    return accepted(mountPoint, directory, openBackup(mountPoint, partition, directory, backup));
}

bool removeBackupDirectory(const QString& mountPoint, quint64 partition, const QString& directory) {
    OpenBackup backup;
    QString refusal = openBackup(mountPoint, partition, directory, backup);
    if (refusal.isEmpty() && !backup.gone) {
        refusal = removeOpenBackup(backup);
    }
    return accepted(mountPoint, directory, refusal);
}
