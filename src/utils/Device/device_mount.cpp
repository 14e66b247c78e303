// Mount-point services: media mounts, the mount point of a UUID, mounting and unmounting a
// bound partition, and the fstab's bind mounts.

#include <QDebug>

#include "platform/mounts/mounttable.h"
#include "utils/Device/device.h"
#include "utils/Device/device_p.h"
#include "utils/core/command/spawncmd.h"

namespace {

// The lines of output that contain needle anywhere, as grep would print them, in order.
QStringList linesContaining(const QString& output, const QString& needle) {
    QStringList matches;
    const QStringList lines = output.split('\n');
    for (const QString& line : lines) {
        if (line.contains(needle)) {
            matches.append(line);
        }
    }
    return matches;
}

// Mount point of the first mounted volume (kernel table order) whose device is devicePath.
QString mountPointOfDevice(const QString& devicePath) {
    const QList<MountedVolume> volumes = mountedVolumes([&devicePath](const MountEntry& mount) {
        return QString::fromUtf8(mount.source) == devicePath;
    });
    return volumes.isEmpty() ? QString() : volumes.first().mount.mountPoint;
}

}  // namespace

// lsblk runs on its own and the lines are picked here, so nothing reaches a shell. As with a
// grep over its output, only a matching line counts as success, whatever lsblk's exit status.
bool Device::getAllMediaMountPoint(QStringList& mountPoints) {
    mountPoints.clear();
    const QStringList args{"--output", "MOUNTPOINT"};
    QString output;
    SpawnCmd("lsblk", args, output);
    const QStringList matches = linesContaining(output, "/media/");
    if (matches.isEmpty()) {
        qInfo() << Q_FUNC_INFO << ", spawnCmd failed, args = " << args << ", out = " << output;
        return false;
    }
    for (const QString& line : matches) {
        mountPoints.append(line.trimmed());
    }
    return true;
}

// The UUID is matched as plain text in code: it never becomes part of a command line. The
// header line takes part like any other, and an empty UUID matches nothing.
bool Device::getMountPointByUUID(const QString& uuid, QString& mountPoint) {
    const QStringList args{"--output", "UUID,PATH"};
    QString output;
    SpawnCmd("lsblk", args, output);
    const QStringList matches = uuid.isEmpty() ? QStringList() : linesContaining(output, uuid);
    if (matches.isEmpty()) {
        qInfo() << Q_FUNC_INFO << ", spawnCmd failed, args = " << args << ", out = " << output;
        return false;
    }
    const QString line = matches.first().trimmed();
    const int slash = line.indexOf('/');
    const QString devicePath = slash < 0 ? line : line.mid(slash);
    if (!devicePath.isEmpty()) {
        const QString found = mountPointOfDevice(devicePath);
        if (!found.isEmpty()) {
            mountPoint = found;
        }
    }
    return true;
}

bool Device::isBindSourceOnUUIDMount(const QString& fstabFile, QStringList& uuidMountPoints) {
    static const FSTabInfoList fstab = FSTab::getFSTabFromFile(fstabFile);
    return bindSourceOnUUIDMount(fstab, uuidMountPoints);
}

bool Device::bindSourceOnUUIDMount(const FSTabInfoList& fstab, QStringList& uuidMountPoints) {
    uuidMountPoints.clear();
    for (const FSTabInfoPtr& entry : fstab) {
        if (DevicePrivate::isRealEntry(entry) && entry->device.startsWith("UUID=")) {
            uuidMountPoints.append(entry->mountPoint);
        }
    }
    const QSet<QString> sources = DevicePrivate::bindSourceDirectories(fstab);
    return sources.size() == 1 && uuidMountPoints.contains(*sources.cbegin());
}

bool Device::mount(const QString& mountPoint) {
    if (m_info.isNull() || m_info->type != "part") {
        return false;
    }
    if (!m_info->mountPoint.isEmpty() && m_info->mountPoint != mountPoint) {
        return false;
    }
    QString output;
    QString error;
    const bool ok = SpawnCmd("mount", {m_info->devicePath, mountPoint}, output, error);
    if (ok) {
        m_info->mountPoint = mountPoint;
    }
    return ok;
}

bool Device::umount() {
    if (m_info.isNull() || m_info->type != "part") {
        return false;
    }
    if (m_info->mountPoint.isEmpty()) {
        return true;
    }
    QString output;
    QString error;
    const bool ok = SpawnCmd("umount", {m_info->mountPoint}, output, error);
    if (ok) {
        m_info->mountPoint.clear();
    }
    return ok;
}
