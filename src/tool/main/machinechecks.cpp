#include "tool/main/machinechecks.h"

#include <QDebug>
#include <QFile>
#include <QSettings>

#include "platform/udisks/oblockdevice.h"
#include "platform/udisks/odiskmanager.h"
#include "utils/Device/device.h"
#include "utils/FsTab/fstab.h"

namespace {

const char kRecoveryConf[] = "/etc/orvik/system-recovery.conf";
const char kDesktopVersion[] = "/usr/lib/orvik/desktop-version";
const char kFstab[] = "/etc/fstab";

QString readRecoveryUuid() {
    QSettings settings(kRecoveryConf, QSettings::IniFormat);
    return settings.value("UUID").toString();
}

QString readOsType() {
    QSettings settings(kDesktopVersion, QSettings::IniFormat);
    return settings.value("Release/Type", "Professional").toString();
}

QStringList listBlockDevices() {
    ODiskManager manager;
    return manager.blockDevices(QVariantMap());
}

// A failed mount answers with an error text; only an absolute path is a mount point.
QString usableMountPath(const QString& answer) {
    if (!answer.startsWith('/')) {
        qWarning() << "mount failed:" << answer;
        return QString();
    }
    return answer;
}

bool isPlanningRefusedOn(ActionType action) {
    return action == ManualBackup || action == SystemBackup || action == ManualRestore;
}

// Encrypted systems are refused for every action; LVM, encryption and the "Device" type
// only for the actions that image or overwrite the system partitions themselves.
int checkSystemVolumes(ActionType action) {
    bool isEncrypted = false;
    bool isFileManagerEncrypted = false;
    const QStringList uuids = FSTab::getUUIDList(FSTab::getFSTabFromFile(kFstab));
    const DeviceInfoList inventory = Device::createDeviceList();
    // Without the inventory neither LVM nor encryption can be seen: a check that could not
    // run must not let a plan through. Withdrawing a plan stays possible.
    if (inventory.isEmpty() && !isCancelAction(action)) {
        qWarning() << "Cannot read the block devices; LVM and encryption cannot be checked";
        return OtherError;
    }
    const bool isLvm = Device::isLvmOnList(inventory, uuids, isEncrypted, isFileManagerEncrypted);
    if (isFileManagerEncrypted) {
        qWarning() << exitCodeHelpText(PartitionEncrypt);
        return PartitionEncrypt;
    }
    const QString osType = readOsType();
    if ((isLvm || isEncrypted || osType == "Device") && isPlanningRefusedOn(action)) {
        qWarning() << "not support, isLvm = " << isLvm << ", isEncrypted = " << isEncrypted
                   << ", osType = " << osType;
        return OtherError;
    }
    return NoError;
}

}  // namespace

BlockDevicePtr openBlockDevice(const QString& objectPath) {
    return BlockDevicePtr(ODiskManager::createBlockDevice(objectPath));
}

QString deviceNode(const OBlockDevice& device) {
    return QString::fromUtf8(device.device()).remove(QChar('\0'));
}

QString mountPointText(const QByteArray& mountPoint) {
    return QString::fromUtf8(mountPoint.constData());
}

QString driveOf(const OBlockDevice& device) {
    const QString drive = device.drive();
    return drive == "/" ? QString() : drive;
}

QStringList mountPointTexts(const OBlockDevice& device) {
    QStringList texts;
    for (const QByteArray& mountPoint : device.mountPoints()) {
        texts << mountPointText(mountPoint);
    }
    return texts;
}

int checkMachine(ActionType action, MachineValues& machine) {
    machine.recoveryUuid = readRecoveryUuid();
    if (machine.recoveryUuid.isEmpty()) {
        qWarning() << QObject::tr("Cannot open %1").arg(kRecoveryConf);
        return OtherError;
    }
    const int volumes = checkSystemVolumes(action);
    if (volumes != NoError) {
        return volumes;
    }
    machine.blockDevices = listBlockDevices();
    machine.recoveryMountPoint = findMountPointByUUID(machine.blockDevices, machine.recoveryUuid);
    if (machine.recoveryMountPoint.isEmpty()) {
        qWarning() << QObject::tr("Cannot find the recovery partition");
        return OtherError;
    }
    return NoError;
}

void readPartitionIdentities(MachineValues& machine) {
    const QString backupDir = machine.recoveryMountPoint + "/backup";
    machine.dataUuid = readInfoOrMountedUUID(backupDir + "/_ovd_data.info");
    machine.bootUuid = readInfoOrMountedUUID(backupDir + "/boot.info");
    machine.rootUuid = readInfoOrMountedUUID("/");
    machine.dataMountPoint = findMountPointByUUID(machine.blockDevices, machine.dataUuid);
}

QString findMountPointByUUID(const QStringList& deviceList, const QString& uuid) {
    if (uuid.isEmpty()) {
        return QString();
    }
    for (const QString& path : deviceList) {
        BlockDevicePtr device = openBlockDevice(path);
        if (!device || device->idUUID() != uuid) {
            continue;
        }
        device->setWatchChanges(true);
        const QByteArrayList mountPoints = device->mountPoints();
        if (mountPoints.isEmpty()) {
            return usableMountPath(device->mount(QVariantMap()));
        }
        return mountPointText(mountPoints.first());
    }
    return QString();
}

QString readInfoOrMountedUUID(const QString& path) {
    QFile file(path);
    if (file.exists() && file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return QString::fromUtf8(file.readAll()).simplified();
    }
    for (const QString& objectPath : listBlockDevices()) {
        BlockDevicePtr device = openBlockDevice(objectPath);
        if (!device) {
            continue;
        }
        device->setWatchChanges(true);
        if (mountPointTexts(*device).contains(path)) {
            return device->idUUID();
        }
    }
    return QString();
}

QString findDriveByUUID(const QStringList& deviceList, const QString& uuid) {
    if (uuid.isEmpty()) {
        return QString();
    }
    for (const QString& path : deviceList) {
        BlockDevicePtr device = openBlockDevice(path);
        if (device && device->idUUID() == uuid) {
            return driveOf(*device);
        }
    }
    return QString();
}
