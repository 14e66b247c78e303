#include "platform/mounts/mounttable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QDebug>
#include <QFile>
#include <cerrno>

namespace {

const char kMountInfo[] = "/proc/self/mountinfo";

bool isOctalDigit(char c) {
    return c >= '0' && c <= '7';
}

// The kernel writes blanks, tabs, new lines and backslashes in paths as \ooo.
QByteArray unescaped(const QByteArray& field) {
    QByteArray out;
    out.reserve(field.size());
    for (int i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctalDigit(field[i + 1]) &&
            isOctalDigit(field[i + 2]) && isOctalDigit(field[i + 3])) {
            out += char(field.mid(i + 1, 3).toInt(nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

quint64 deviceNumber(const QByteArray& majorMinor) {
    const int colon = majorMinor.indexOf(':');
    bool majorOk = false;
    bool minorOk = false;
    const uint major = majorMinor.left(colon).toUInt(&majorOk);
    const uint minor = majorMinor.mid(colon + 1).toUInt(&minorOk);
    return colon > 0 && majorOk && minorOk ? makedev(major, minor) : 0;
}

// "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw,errors=continue": ID,
// parent ID, device, root, mount point, options, optional fields up to "-", then type,
// source and the file system's own options.
bool parseLine(const QByteArray& line, MountEntry& entry) {
    const QList<QByteArray> fields = line.split(' ');
    const int separator = fields.indexOf("-", 6);
    if (fields.size() < 5) {
        return false;
    }
    bool idOk = false;
    bool parentOk = false;
    entry.id = fields[0].toInt(&idOk);
    entry.parentId = fields[1].toInt(&parentOk);
    if (!idOk || !parentOk) {
        entry.id = entry.parentId = -1;
    }
    entry.device = deviceNumber(fields[2]);
    entry.root = QString::fromUtf8(unescaped(fields[3]));
    entry.mountPoint = QString::fromUtf8(unescaped(fields[4]));
    if (separator > 0 && separator + 2 < fields.size()) {
        entry.fsType = QString::fromUtf8(unescaped(fields[separator + 1]));
        entry.source = unescaped(fields[separator + 2]);
    }
    return true;
}

bool isPseudoMount(const MountEntry& entry) {
    for (const char* dir : {"/dev", "/proc", "/sys", "/var/run", "/var/lock"}) {
        if (isUnderMountPoint(entry.mountPoint, QLatin1String(dir))) {
            return true;
        }
    }
    return entry.fsType == QLatin1String("rootfs");
}

// Whether entry is mounted on parent; with parent null, whether it is mounted on no listed
// mount (the root, or what a changed root shows of the mounts below it).
bool isMountedOn(const QList<MountEntry>& table, const MountEntry& entry,
                 const MountEntry* parent) {
    if (parent) {
        return &entry != parent && entry.parentId == parent->id;
    }
    for (const MountEntry& other : table) {
        if (&other != &entry && other.id == entry.parentId) {
            return false;
        }
    }
    return true;
}

// Why the mount that fd holds is not the root of the file system device shown at mountPoint.
QString rootRefusal(const QList<MountEntry>& table, const QString& mountPoint, int fd,
                    quint64 device) {
    const int id = mountIdOf(fd);
    const MountEntry* held = nullptr;
    for (const MountEntry& entry : table) {
        if (id >= 0 && entry.id == id) {
            held = &entry;
        }
    }
    if (!held || held != mountShownAt(table, mountPoint)) {
        const MountEntry* shown = mountHolding(table, mountPoint);
        return QString("a file system is mounted on %1")
            .arg(shown ? shown->mountPoint : mountPoint);
    }
    if (held->device != device) {
        return QString("%1 shows another file system than the one checked").arg(mountPoint);
    }
    if (held->root != QLatin1String("/")) {
        return QString("%1 shows the directory %2 of its file system, not its root")
            .arg(mountPoint, held->root);
    }
    return QString();
}

}  // namespace

int mountIdOf(int fd) {
    struct statx st {};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &st) != 0 || !(st.stx_mask & STATX_MNT_ID)) {
        return -1;
    }
    return int(st.stx_mnt_id);
}

bool isUnderMountPoint(const QString& path, const QString& mountPoint) {
    if (mountPoint.isEmpty() || !path.startsWith(mountPoint)) {
        return false;
    }
    return path.size() == mountPoint.size() || mountPoint.endsWith('/') ||
           path.at(mountPoint.size()) == '/';
}

// From the mounts on no other, down: of the mounts on the one reached that hold path, the one
// on the shortest path comes first (of two at one place, the later, which is on top).
const MountEntry* mountHolding(const QList<MountEntry>& table, const QString& path) {
    const MountEntry* found = nullptr;
    for (int depth = 0; depth <= table.size(); ++depth) {  // ends on a looped table too
        const MountEntry* next = nullptr;
        for (const MountEntry& entry : table) {
            if (isUnderMountPoint(path, entry.mountPoint) && isMountedOn(table, entry, found) &&
                (!next || entry.mountPoint.size() <= next->mountPoint.size())) {
                next = &entry;
            }
        }
        if (!next) {
            break;
        }
        found = next;
    }
    return found;
}

const MountEntry* mountShownAt(const QList<MountEntry>& table, const QString& mountPoint) {
    const MountEntry* shown = mountHolding(table, mountPoint);
    return shown && shown->mountPoint == mountPoint ? shown : nullptr;
}

int openRootThrough(const QString& mountPoint, quint64 device, QList<MountEntry>& table,
                    QString& refusal) {
    const int fd =
        ::open(QFile::encodeName(mountPoint).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        refusal = QString("%1 cannot be opened: %2").arg(mountPoint, qt_error_string(errno));
        return -1;
    }
    table = readMountTable();
    refusal = table.isEmpty() ? QString("the mount table cannot be read")
                              : rootRefusal(table, mountPoint, fd, device);
    if (!refusal.isEmpty()) {
        ::close(fd);
        return -1;
    }
    return fd;
}

QList<MountEntry> parseMountTable(const QByteArray& mountinfo) {
    QList<MountEntry> entries;
    for (const QByteArray& line : mountinfo.split('\n')) {
        MountEntry entry;
        if (parseLine(line, entry)) {
            entries << entry;
        }
    }
    return entries;
}

QList<MountEntry> readMountTable() {
    QFile file(kMountInfo);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "Cannot read" << kMountInfo << ":" << file.errorString();
        return {};
    }
    return parseMountTable(file.readAll());
}

QList<MountedVolume> mountedVolumes(const std::function<bool(const MountEntry&)>& wanted) {
    QList<MountedVolume> volumes;
    for (const MountEntry& entry : readMountTable()) {
        struct statvfs fs {};
        if (isPseudoMount(entry) || !wanted(entry) ||
            statvfs(QFile::encodeName(entry.mountPoint).constData(), &fs) != 0) {
            continue;
        }
        const qint64 total = qint64(fs.f_blocks) * qint64(fs.f_frsize);
        if (total == 0 && entry.mountPoint != QLatin1String("/")) {
            continue;
        }
        volumes << MountedVolume{entry, total, qint64(fs.f_bfree) * qint64(fs.f_frsize)};
    }
    return volumes;
}
