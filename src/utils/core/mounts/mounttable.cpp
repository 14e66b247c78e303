#include "utils/core/mounts/mounttable.h"

#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <QDebug>
#include <QFile>

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

}  // namespace

bool isUnderMountPoint(const QString& path, const QString& mountPoint) {
    if (mountPoint.isEmpty() || !path.startsWith(mountPoint)) {
        return false;
    }
    return path.size() == mountPoint.size() || mountPoint.endsWith('/') ||
           path.at(mountPoint.size()) == '/';
}

const MountEntry* mountHolding(const QList<MountEntry>& table, const QString& path) {
    const MountEntry* found = nullptr;
    for (const MountEntry& entry : table) {
        if ((!found || entry.mountPoint.size() >= found->mountPoint.size()) &&
            isUnderMountPoint(path, entry.mountPoint)) {
            found = &entry;
        }
    }
    return found;
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
