#include "platform/udisks/disks.h"

#include <QDebug>
#include <QFile>

#include "platform/udisks/oblockdevice.h"
#include "platform/udisks/odiskmanager.h"
#include "utils/core/text/nultext.h"

namespace {

const char kMountInfo[] = "/proc/self/mountinfo";

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

bool isOctalDigit(char c) {
    return c >= '0' && c <= '7';
}

// The kernel writes blanks, tabs, new lines and backslashes of paths as \ooo.
QString unescapeMountField(const QByteArray& field) {
    QByteArray out;
    for (int i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctalDigit(field[i + 1]) &&
            isOctalDigit(field[i + 2]) && isOctalDigit(field[i + 3])) {
            out += char(field.mid(i + 1, 3).toInt(nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return QString::fromUtf8(out);
}

// Without the table every mount point counts as the device's own: the first one is taken.
QHash<QString, QString> readMountRoots() {
    QFile file(kMountInfo);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "Cannot read" << kMountInfo << ":" << file.errorString();
        return {};
    }
    return parseMountRoots(file.readAll());
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

bool isUnderMountPoint(const QString& path, const QString& mountPoint) {
    if (mountPoint.isEmpty() || !path.startsWith(mountPoint)) {
        return false;
    }
    return path.size() == mountPoint.size() || mountPoint.endsWith('/') ||
           path.at(mountPoint.size()) == '/';
}

QHash<QString, QString> parseMountRoots(const QByteArray& mountinfo) {
    QHash<QString, QString> roots;
    for (const QByteArray& line : mountinfo.split('\n')) {
        // mount ID, parent ID, major:minor, root, mount point, options ...
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() >= 5) {
            roots.insert(unescapeMountField(fields[4]), unescapeMountField(fields[3]));
        }
    }
    return roots;
}
