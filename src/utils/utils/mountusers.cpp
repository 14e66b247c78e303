#include "utils/utils/mountusers.h"

#include <QDebug>
#include <QHash>
#include <QMutex>
#include <algorithm>

#include "platform/mounts/mounttable.h"
#include "platform/udisks/disks.h"

namespace {

struct MountUse {
    QString objectPath;  // the service's device; a listing may lack its UUID for a while
    QString mountPoint;  // where this process mounted it
    int users = 0;
};

// One lock over the table and every mount and unmount it records, held across the service's
// calls: no caller finds a partition half mounted or unmounts one another is about to share.
QMutex& tableLock() {
    static QMutex lock;
    return lock;
}

QHash<QString, MountUse>& table() {
    static QHash<QString, MountUse> uses;
    return uses;
}

// The service answers a new mount with its path, which may hold blanks (a label "My Disk"); an
// error comes as "<error name>: <text>", never an absolute path.
bool isMountPath(const QString& answer) {
    return answer.startsWith('/');
}

// The kernel's table, not the service's view, which follows a mount or unmount a moment later.
bool isMounted(const QList<MountEntry>& table, const QString& mountPoint) {
    return std::any_of(table.begin(), table.end(),
                       [&](const MountEntry& entry) { return entry.mountPoint == mountPoint; });
}

}  // namespace

namespace Utils {

QString acquireMount(Disks& disks, const QString& uuid) {
    QMutexLocker locker(&tableLock());
    const auto use = table().find(uuid);
    if (use != table().end() && isMounted(readMountTable(), use->mountPoint)) {
        ++use->users;
        return use->mountPoint;
    }
    if (use != table().end()) {
        table().erase(use);  // unmounted behind our back: nobody shares it any more
    }
    const ListedDevice* device = disks.byUuid(uuid);
    if (!device) {
        return {};
    }
    const QString objectPath = device->path;
    // Only a new mount path means that this call mounted it; after an error text (already
    // mounted, say) the device has read its mount points afresh.
    const QString answer = disks.mount(uuid);
    if (!isMountPath(answer)) {
        return disks.mountPointOf(uuid);
    }
    table().insert(uuid, {objectPath, answer, 1});
    return answer;
}

bool releaseMount(const QString& uuid) {
    QMutexLocker locker(&tableLock());
    const auto use = table().find(uuid);
    if (use == table().end() || --use->users > 0) {
        return false;
    }
    ListedDevice known;
    known.path = use->objectPath;
    known.uuid = uuid;
    Disks disks({known});
    disks.unmount(uuid);
    if (isMounted(disks.mounts(), use->mountPoint)) {
        // Busy: still ours, and the next last user tries again.
        qWarning() << "unmount failed, still mounted at" << use->mountPoint;
        use->users = 0;
        return false;
    }
    table().erase(use);
    return true;
}

}  // namespace Utils
