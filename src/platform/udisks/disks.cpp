#include "platform/udisks/disks.h"

#include <sys/stat.h>

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include "platform/mounts/mounttable.h"
#include "platform/text/nultext.h"
#include "platform/udisks/oblockdevice.h"
#include "platform/udisks/odiskmanager.h"

namespace {

QStringList texts(const QByteArrayList& list) {
    QStringList result;
    for (const QByteArray& bytes : list) {
        result << textUpToNul(bytes);
    }
    return result;
}

ListedDevice listed(const QString& path, const OBlockProperties& props) {
    return ListedDevice{path,         props.idUUID,
                        props.idType, textUpToNul(props.device),
                        props.drive,  texts(props.mountPoints),
                        props.idLabel};
}

// The source as the kernel names it, and the node it leads to where it is a link.
bool isSourceOf(const ListedDevice& device, const QString& source, const QString& target) {
    return !device.node.isEmpty() && (device.node == source || device.node == target);
}

// The device node is the block device whose number the mount carries: a mount made through
// a node of another name (one made with mknod elsewhere) names no listed node as its source.
bool isDeviceOf(const ListedDevice& device, quint64 number) {
    struct stat st {};
    return number != 0 && !device.node.isEmpty() &&
           ::stat(QFile::encodeName(device.node).constData(), &st) == 0 && S_ISBLK(st.st_mode) &&
           st.st_rdev == number;
}

}  // namespace

Disks::Disks(QList<ListedDevice> devices, QList<MountEntry> mounts)
    : m_devices(std::move(devices)), m_mounts(std::move(mounts)) {}

Disks Disks::list() {
    QList<ListedDevice> devices;
    for (const OListedDevice& device : ODiskManager().listBlockDevices()) {
        devices << listed(device.path, device.properties);
    }
    return Disks(devices, readMountTable());
}

const QList<ListedDevice>& Disks::devices() const {
    return m_devices;
}

const QList<MountEntry>& Disks::mounts() const {
    return m_mounts;
}

const ListedDevice* Disks::byUuid(const QString& uuid) const {
    if (uuid.isEmpty()) {
        return nullptr;
    }
    for (const ListedDevice& device : m_devices) {
        if (device.uuid == uuid) {
            return &device;
        }
    }
    return nullptr;
}

const ListedDevice* Disks::mountedAt(const QString& mountPoint) const {
    if (mountPoint.isEmpty()) {
        return nullptr;
    }
    const MountEntry* visible = visibleAt(mountPoint);
    const ListedDevice* shown = visible ? backing(*visible) : nullptr;
    if (shown && shown->mountPoints.contains(mountPoint)) {
        return shown;
    }
    for (const ListedDevice& device : m_devices) {
        if (device.mountPoints.contains(mountPoint)) {
            return &device;
        }
    }
    return nullptr;
}

QString Disks::uuidMountedAt(const QString& mountPoint) const {
    const ListedDevice* device = mountedAt(mountPoint);
    return device ? device->uuid : QString();
}

QString Disks::driveOf(const QString& uuid) const {
    const ListedDevice* device = byUuid(uuid);
    return device ? device->drive : QString();
}

QString Disks::mountPointOf(const ListedDevice& device) const {
    const QString own = rootMountPointOf(device);
    if (!own.isEmpty()) {
        return own;
    }
    // A mount point where another device is stacked on top shows that device, not this one.
    for (const QString& mountPoint : device.mountPoints) {
        const MountEntry* visible = visibleAt(mountPoint);
        const ListedDevice* shown = visible ? backing(*visible) : nullptr;
        if (!shown || shown == &device) {
            return mountPoint;
        }
    }
    return QString();
}

QString Disks::rootMountPointOf(const ListedDevice& device) const {
    for (const QString& mountPoint : device.mountPoints) {
        const MountEntry* visible = visibleAt(mountPoint);
        if (visible && visible->root == QLatin1String("/") && backing(*visible) == &device) {
            return mountPoint;
        }
    }
    return QString();
}

const ListedDevice* Disks::backing(const MountEntry& mount) const {
    const QString source = QFile::decodeName(mount.source);
    // Only a device node's name is resolved (its /dev/disk links, /dev/mapper): a source
    // elsewhere may be an image on a share that no longer answers, and a look-up would hang.
    const QString target =
        source.startsWith(QLatin1String("/dev/")) ? QFileInfo(source).canonicalFilePath() : "";
    for (const ListedDevice& device : m_devices) {
        if (isSourceOf(device, source, target)) {
            return &device;
        }
    }
    for (const ListedDevice& device : m_devices) {
        if (isDeviceOf(device, mount.device)) {
            return &device;
        }
    }
    return nullptr;
}

const MountEntry* Disks::visibleAt(const QString& mountPoint) const {
    return mountShownAt(m_mounts, mountPoint);
}

QString Disks::mountPointOf(const QString& uuid) const {
    const ListedDevice* device = byUuid(uuid);
    return device ? mountPointOf(*device) : QString();
}

QString Disks::mountIfNeeded(const QString& uuid) {
    const ListedDevice* device = byUuid(uuid);
    if (!device) {
        return QString();
    }
    if (!device->mountPoints.isEmpty()) {
        return mountPointOf(*device);
    }
    const QString node = device->node;
    const QString answer = mount(uuid);
    // A failed mount answers with an error text; only an absolute path is a mount point.
    if (!answer.startsWith('/')) {
        // Mounted meanwhile by someone else ("already mounted"): the device has read where.
        const QString found = mountPointOf(uuid);
        if (!found.isEmpty()) {
            qInfo() << "Found" << node << "mounted at" << found;
            return found;
        }
        qWarning() << "mount failed:" << answer;
        return QString();
    }
    qInfo() << "Mounted" << node << "at" << answer;
    return answer;
}

QString Disks::mount(const QString& uuid) {
    ListedDevice* device = find(uuid);
    if (!device) {
        return QString();
    }
    OBlockDevice block(device->path, OBlockProperties{});
    block.setWatchChanges(true);
    const QString answer = block.mount({});
    if (answer.startsWith('/')) {
        update(*device, block);
    } else {
        // "Already mounted" may name a mount made after the listing: read the device again.
        update(*device, OBlockDevice(device->path));
    }
    return answer;
}

void Disks::unmount(const QString& uuid) {
    ListedDevice* device = find(uuid);
    if (!device) {
        return;
    }
    OBlockDevice block(device->path, OBlockProperties{});
    block.unmount({});
    update(*device, block);
}

ListedDevice* Disks::find(const QString& uuid) {
    return const_cast<ListedDevice*>(byUuid(uuid));
}

// The device has just read itself afresh (or kept what it knew when it could not).
void Disks::update(ListedDevice& device, const OBlockDevice& read) {
    if (!read.properties().idUUID.isEmpty() || read.properties().hasFilesystem) {
        device = listed(device.path, read.properties());
    }
    m_mounts = readMountTable();
}
