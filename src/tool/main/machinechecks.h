#pragma once

#include <QString>
#include <QStringList>
#include <memory>

#include "tool/main/options.h"

class OBlockDevice;

// What the machine checks learn about the machine, for planning and hand-off.
struct MachineValues {
    QString recoveryUuid;
    QStringList blockDevices;  // object paths, listed once per run
    QString recoveryMountPoint;
    QString dataUuid;
    QString bootUuid;
    QString rootUuid;
    QString dataMountPoint;
};

using BlockDevicePtr = std::unique_ptr<OBlockDevice>;

BlockDevicePtr openBlockDevice(const QString& objectPath);
// The device node of a block device, without the NUL bytes the service appends.
QString deviceNode(const OBlockDevice& device);
// A mount point as the service reports it, as text up to its first NUL byte.
QString mountPointText(const QByteArray& mountPoint);
QStringList mountPointTexts(const OBlockDevice& device);
// The drive holding a device; empty when none (the service answers "/" then).
QString driveOf(const OBlockDevice& device);

// Refuses machines that cannot be served, lists the block devices and finds (and if need be
// mounts) the recovery partition. Returns the exit code of the first refusal, or NoError.
int checkMachine(ActionType action, MachineValues& machine);

// Reads the data, boot and root UUIDs and the data partition's mount point.
void readPartitionIdentities(MachineValues& machine);

// Mount point of the first listed device carrying uuid, mounting it when it is not mounted.
// An empty uuid matches nothing.
QString findMountPointByUUID(const QStringList& deviceList, const QString& uuid);

// A marker file's simplified content, else the UUID of the first device mounted at path.
QString readInfoOrMountedUUID(const QString& path);

// Drive object path of the first listed device carrying uuid; empty for an empty uuid.
QString findDriveByUUID(const QStringList& deviceList, const QString& uuid);
