#include "utils/AsyncTask/asynctask.h"

#include <limits.h>
#include <unistd.h>

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QSettings>

#include "utils/Device/device.h"
#include "utils/core/command/spawncmd.h"
#include "utils/utils/backuphistory.h"
#include "utils/utils/fsck.h"
#include "utils/utils/systemqueries.h"

namespace {

const char kStartedFlagPath[] = "/home/orvik/orvik-recovery-gui.startedFlag";
const char kRepairLauncher[] = "/usr/bin/orvik-repair-pkexec";

// The fstab UUIDs of the first partition list built in this process; later lists reuse them.
// A function-local static is built once even when two workers get here together.
const QStringList& firstSystemUuids(const FSTabInfoList& fstab) {
    static const QStringList uuids = FSTab::getUUIDList(fstab);
    return uuids;
}

QString underRoot(const QString& root, const QString& relative) {
    return root.endsWith('/') ? root + relative : root + '/' + relative;
}

bool isLiveBootMode(int mode) {
    return mode == 2 || mode == 3;
}

// What a link points at, as written in the link.
QString readLinkText(const QString& path) {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink(QFile::encodeName(path).constData(), buffer, sizeof buffer);
    return length < 0 ? QString() : QFile::decodeName(QByteArray(buffer, int(length)));
}

// /etc/os-version of the system mounted at root. A link is followed inside that system: an
// absolute target is taken under root, a relative one from root's /etc.
QString osVersionFile(const QString& root) {
    const QString path = root + "/etc/os-version";
    if (!QFileInfo(path).isSymLink()) {
        return path;
    }
    const QString target = readLinkText(path);
    return target.startsWith('/') ? root + target : root + "/etc/" + target;
}

QJsonObject backupToJson(const BackupFileInfo& info) {
    return QJsonObject{{"backupUUID", info.backupUUID},
                       {"backupPath", info.backupPath},
                       {"backupTime", info.backupTime},
                       {"createTime", info.createTime}};
}

QString backupListDocument(const QList<BackupFileInfo>& backups) {
    QJsonArray array;
    for (const BackupFileInfo& info : backups) {
        array.append(backupToJson(info));
    }
    return Utils::jsonToString(QJsonObject{{"BackupFileInfoList", array}});
}

bool hasOsiImage(const QString& dir) {
    return !QDir(dir, "*.osi", QDir::NoSort, QDir::NoFilter).entryList().isEmpty();
}

PartitionCheckItem itemWithUuid(const Utils::BlkIdInfo& info) {
    PartitionCheckItem item;
    item.devicePath = info.devicePath;
    item.label = info.label;
    item.uuid = info.uuid;
    item.fsType = info.type;
    item.status = 0;
    item.deviceType = -1;
    if (Utils::checkPartitionErrorByFsck(info.devicePath)) {
        item.status = -1;
        qWarning() << "partition error, devicePath: " << info.devicePath << ", uuid: " << info.uuid;
    }
    return item;
}

PartitionCheckItem itemWithoutUuid(const Utils::BlkIdInfo& info) {
    PartitionCheckItem item;
    item.devicePath = info.devicePath;
    item.status = -1;
    item.deviceType = -1;
    return item;
}

QString partUuidTail(const QString& partUuid) {
    const int dash = partUuid.indexOf('-');
    return dash < 0 ? QString() : partUuid.mid(dash + 1);
}

}  // namespace

QString PartitionCheckItem::toString() const {
    return QString(
               "devicePath: %1, label: %2, uuid: %3, mountPoint: %4, fsType: %5, status: %6, "
               "deviceType: %7")
        .arg(devicePath, label, uuid, mountPoint, fsType)
        .arg(status)
        .arg(deviceType);
}

QJsonObject PartitionCheckItem::toJson() const {
    return QJsonObject{{"devicePath", devicePath}, {"label", label},   {"uuid", uuid},
                       {"mountPoint", mountPoint}, {"fsType", fsType}, {"status", status},
                       {"deviceType", deviceType}};
}

void PartitionCheckItem::fromJson(const QJsonObject& object) {
    const std::pair<const char*, QString*> texts[] = {{"devicePath", &devicePath},
                                                      {"label", &label},
                                                      {"uuid", &uuid},
                                                      {"mountPoint", &mountPoint},
                                                      {"fsType", &fsType}};
    for (const auto& [key, field] : texts) {
        if (object.contains(key)) {
            *field = object.value(key).toString();
        }
    }
    if (object.contains("status")) {
        status = object.value("status").toInt();
    }
    if (object.contains("deviceType")) {
        deviceType = object.value("deviceType").toInt();
    }
}

QJsonObject RestoreBaseInfo::toJson() const {
    return QJsonObject{
        {"recoveryUUID", recoveryUUID}, {"osType", osType},
        {"backupInfo", backupInfo},     {"recoveryInfo", recoveryInfo},
        {"osVersion", osVersion},       {"isExitsInitBackup", isExitsInitBackup},
        {"isDeviceOS", isDeviceOS},     {"isLvm", isLvm},
        {"isEncrypted", isEncrypted},   {"isFileManagerEncrypted", isFileManagerEncrypted}};
}

AsyncTask::AsyncTask(int taskType) : QThread(nullptr), taskType(taskType) {}

void AsyncTask::setDevicePath(const QString& path) {
    devicePath = path;
}

void AsyncTask::setSystemRootUUID(const QString& uuid) {
    rootUUID = uuid;
}

void AsyncTask::run() {
    switch (taskType) {
        case 1:
            fixPartition();
            break;
        case 2:
            buildPartitionCheckList();
            break;
        case 3:
            waitForStartedFlag();
            break;
        case 4:
            initLiveRestorePageInfo();
            break;
        case 5:
            initSystemRepairToolPage();
            break;
        default:
            break;
    }
}

void AsyncTask::fixPartition() {
    QString output;
    QString error;
    if (Utils::fixPartitionByFsck(devicePath, output, error)) {
        emit fixPartitionSuccess();
    } else {
        emit fixPartitionFailed(error);
    }
}

void AsyncTask::waitForStartedFlag() {
    const QString marker = kStartedFlagPath;
    while (!stopWatching) {
        if (QFile::exists(marker)) {
            stopWatching = true;
            QFile::remove(marker);
            // Leave the front end time to show its first page.
            QThread::sleep(3);
            emit showSystemRestoreFinish();
        } else {
            QThread::sleep(1);
        }
    }
}

void AsyncTask::initSystemRepairToolPage() {
    const QString program = kRepairLauncher;
    QString output;
    QString error;
    const bool ok = SpawnCmd(program, {}, output, error);
    qInfo() << "orvik-repair, cmd = " << program << ", ret = " << ok << ", err = " << error;
    if (ok) {
        emit initSystemRepairToolPageFinish();
        return;
    }
    qInfo() << "orvik-repair, cmd = " << program << ", output = " << output;
    emit initSystemRepairToolPageFailed(error);
}

void AsyncTask::buildPartitionCheckList() {
    QList<PartitionCheckItem> items;
    QList<Utils::BlkIdInfo> blkIdList;
    QString error;
    if (Utils::getBlkIdInfoList(blkIdList, error)) {
        GetPartitionCheckItemList(items, bootMode, blkIdList);
    }
    QJsonArray array;
    for (const PartitionCheckItem& item : items) {
        array.append(item.toJson());
    }
    emit getPartitionCheckItemFinish(
        Utils::jsonToString(QJsonObject{{"PartitionCheckItemList", array}}));
}

bool AsyncTask::GetPartitionCheckItemList(QList<PartitionCheckItem>& items, int bootMode,
                                          const QList<Utils::BlkIdInfo>& blkIdList) {
    QString recoveryDiskPrefix;
    QString firstPartUuidTail;
    QList<PartitionCheckItem> withoutUuid;
    for (const Utils::BlkIdInfo& info : blkIdList) {
        if (info.devicePath.startsWith("/dev/loop") ||
            info.type.contains("crypto_LUKS", Qt::CaseInsensitive) ||
            info.type.contains("LVM2_member", Qt::CaseInsensitive)) {
            continue;
        }
        if (!info.uuid.isEmpty()) {
            if (info.type == "vfat" && info.partLabel == "recovery") {
                recoveryDiskPrefix = info.devicePath.left(8);
                continue;
            }
            items.append(itemWithUuid(info));
            continue;
        }
        if (!info.partUuid.isEmpty()) {
            if (!recoveryDiskPrefix.isEmpty() && info.devicePath.left(8) == recoveryDiskPrefix) {
                continue;
            }
            const QString tail = partUuidTail(info.partUuid);
            if (firstPartUuidTail.isEmpty()) {
                firstPartUuidTail = tail;
            } else if (tail == firstPartUuidTail) {
                continue;
            }
        }
        // A whole disk with a partition table is no partition to check.
        if (!info.ptUuid.isEmpty() && !info.ptType.isEmpty()) {
            continue;
        }
        withoutUuid.append(itemWithoutUuid(info));
    }

    if (!isLiveBootMode(bootMode)) {
        if (!ensureRootFstab()) {
            return false;
        }
        markSystemPartitions(items);
    }
    items.append(withoutUuid);
    return true;
}

// Reads the installed system's fstab, mounting its root for that when nobody has yet.
bool AsyncTask::ensureRootFstab() {
    if (!rootMountPath.isEmpty()) {
        rootMountedHere = false;
    } else {
        const QString mountPoint = Utils::mountDeviceByUUID(rootUUID);
        if (mountPoint.isEmpty()) {
            qWarning() << "GetPartitionCheckItemList rootMountPoint isEmpty";
            return false;
        }
        rootMountPath = mountPoint;
        rootMountedHere = true;
    }
    if (fstabList.isEmpty()) {
        fstabList = FSTab::getFSTabFromFile(underRoot(rootMountPath, "etc/fstab"));
    }
    if (rootMountedHere) {
        Utils::umountDeviceByUUID(rootUUID);
    }
    return true;
}

void AsyncTask::markSystemPartitions(QList<PartitionCheckItem>& items) {
    const QStringList& systemUuids = firstSystemUuids(fstabList);
    for (PartitionCheckItem& item : items) {
        if (!systemUuids.contains(item.uuid)) {
            item.deviceType = 0;
            continue;
        }
        item.deviceType = 1;
        const FSTabInfoPtr entry = FSTab::findByUUID(fstabList, item.uuid);
        if (!entry.isNull()) {
            const bool swap = entry->mountPoint == "none" && entry->type == "swap";
            item.mountPoint = swap ? QString("SWAP") : entry->mountPoint;
        }
    }
}

void AsyncTask::initLiveRestorePageInfo() {
    rootMountPath = "/";
    rootMountPath = Utils::mountDeviceByUUID(rootUUID);

    RestoreBaseInfo info;
    info.osType = QSettings(QString("%1/usr/lib/orvik/desktop-version").arg(rootMountPath),
                            QSettings::IniFormat)
                      .value("Release/Type", "Professional")
                      .toString();
    info.osVersion = QSettings(osVersionFile(rootMountPath), QSettings::IniFormat)
                         .value("Version/MinorVersion")
                         .toInt();

    fstabList = FSTab::getFSTabFromFile(underRoot(rootMountPath, "etc/fstab"));
    sysUuidList = FSTab::getUUIDList(fstabList);
    info.isLvm = Device::isLvm(sysUuidList, info.isEncrypted, info.isFileManagerEncrypted);

    recoveryUUID = Utils::getRecoveryUuid(rootMountPath);
    QList<BackupFileInfo> backups;
    if (!recoveryUUID.isEmpty()) {
        const QString recoveryMountPath = Utils::mountDeviceByUUID(recoveryUUID);
        const QString backupDir = QString("%1/backup").arg(recoveryMountPath);
        info.isExitsInitBackup = hasOsiImage(backupDir);
        QJsonObject recoveryObject;
        if (Utils::getRecoveryJsonInfo(recoveryObject, backupDir + "/recovery.json")) {
            info.recoveryInfo = Utils::jsonToString(recoveryObject);
        }
        Utils::getHistoryBackup(backups, backupDir + "/savePath.json", true);
        Utils::umountDeviceByUUID(recoveryUUID);
    }

    info.recoveryUUID = recoveryUUID;
    info.backupInfo = backupListDocument(backups);
    info.isDeviceOS = info.osType == "Device";

    const QString data = Utils::jsonToString(info.toJson());
    qInfo() << "RestoreBaseInfo data: " << data;
    Utils::umountDeviceByUUID(rootUUID);
    emit initLiveRestorePageFinish(data);
}
