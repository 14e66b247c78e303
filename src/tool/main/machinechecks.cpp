#include "tool/main/machinechecks.h"

#include <QDebug>
#include <QFile>
#include <QSettings>

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

// A marker file's simplified content; without one, the UUID of the device mounted at path.
QString readInfoOrMountedUUID(const QString& path, const Disks& disks) {
    QFile file(path);
    if (file.exists() && file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return QString::fromUtf8(file.readAll()).simplified();
    }
    return disks.uuidMountedAt(path);
}

}  // namespace

int checkMachine(ActionType action, MachineValues& machine) {
    int code = readRecoveryConfiguration(machine);
    if (code == NoError) {
        code = checkSystemVolumes(action);
    }
    return code == NoError ? locateRecoveryPartition(machine) : code;
}

int readRecoveryConfiguration(MachineValues& machine) {
    machine.recoveryUuid = readRecoveryUuid();
    if (machine.recoveryUuid.isEmpty()) {
        qWarning() << QObject::tr("Cannot open %1").arg(kRecoveryConf);
        return OtherError;
    }
    return NoError;
}

int locateRecoveryPartition(MachineValues& machine) {
    machine.disks = Disks::list();
    machine.recoveryMountPoint = machine.disks.mountIfNeeded(machine.recoveryUuid);
    if (machine.recoveryMountPoint.isEmpty()) {
        qWarning() << QObject::tr("Cannot find the recovery partition");
        return OtherError;
    }
    return NoError;
}

int readPartitionIdentities(MachineValues& machine) {
    const QString backupDir = machine.recoveryMountPoint + "/backup";
    machine.dataUuid = readInfoOrMountedUUID(backupDir + "/_ovd_data.info", machine.disks);
    machine.bootUuid = readInfoOrMountedUUID(backupDir + "/boot.info", machine.disks);
    machine.rootUuid = readInfoOrMountedUUID("/", machine.disks);
    if (machine.rootUuid.isEmpty()) {
        qWarning() << QObject::tr("The root partition could not be identified");
        return OtherError;
    }
    machine.dataMountPoint = machine.disks.mountIfNeeded(machine.dataUuid);
    return NoError;
}
