#include "platform/udisks/disks.h"

#include <QDebug>

#include "platform/udisks/oblockdevice.h"
#include "platform/udisks/odiskmanager.h"
#include "utils/core/mounts/mounttable.h"
#include "utils/core/text/nultext.h"

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

// Where mounts are stacked, the last (the visible one) wins.
QHash<QString, QString> rootsOf(const QList<MountEntry>& table) {
    QHash<QString, QString> roots;
    for (const MountEntry& entry : table) {
        roots.insert(entry.mountPoint, entry.root);
    }
    return roots;
}

// Without the table every mount point counts as the device's own: the first one is taken.
QHash<QString, QString> readMountRoots() {
    return rootsOf(readMountTable());
}

}  // namespace

Disks::Disks(QList<ListedDevice> devices, QHash<QString, QString> mountRoots)
    : m_devices(std::move(devices)), m_mountRoots(std::move(mountRoots)) {}

Disks Disks::list() {
    QList<ListedDevice> devices;
    for (const OListedDevice& device : ODiskManager().listBlockDevices()) {
        devices << listed(device.path, device.properties);
    }
    return Disks(devices, readMountRoots());
}

const QList<ListedDevice>& Disks::devices() const {
    return m_devices;
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
    for (const QString& mountPoint : device.mountPoints) {
        if (m_mountRoots.value(mountPoint) == QLatin1String("/")) {
            return mountPoint;
        }
    }
    return device.mountPoints.value(0);
}

QString Disks::mountPointOf(const QString& uuid) const {
    const ListedDevice* device = byUuid(uuid);
    return device ? mountPointOf(*device) : QString();
}

const ListedDevice* Disks::holding(const QString& path, const QStringList& skip) const {
    const ListedDevice* found = nullptr;
    int depth = -1;
    for (const ListedDevice& device : m_devices) {
        for (const QString& mountPoint : device.mountPoints) {
            if (mountPoint.size() > depth && !skip.contains(mountPoint) &&
                isUnderMountPoint(path, mountPoint)) {
                found = &device;
                depth = mountPoint.size();
            }
        }
    }
    return found;
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
    m_mountRoots = readMountRoots();
}

QHash<QString, QString> parseMountRoots(const QByteArray& mountinfo) {
    return rootsOf(parseMountTable(mountinfo));
}
