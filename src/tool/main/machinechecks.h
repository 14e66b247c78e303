#pragma once

#include <QString>

#include "platform/udisks/disks.h"
#include "tool/main/options.h"

// What the machine checks learn about the machine, for planning and hand-off.
struct MachineValues {
    QString recoveryUuid;
    Disks disks;  // the run's one listing of the disk service
    QString recoveryMountPoint;
    QString dataUuid;
    QString bootUuid;
    QString rootUuid;
    QString dataMountPoint;
};

// Refuses machines that cannot be served, lists the block devices and finds (and if need be
// mounts) the recovery partition. Returns the exit code of the first refusal, or NoError.
int checkMachine(ActionType action, MachineValues& machine);

// The two halves of checkMachine that judge nothing: the recovery UUID from the
// configuration, then the one listing and the recovery partition, mounted if need be.
int readRecoveryConfiguration(MachineValues& machine);
int locateRecoveryPartition(MachineValues& machine);

// Reads the data, boot and root UUIDs and the data partition's mount point (mounting it when
// it is not mounted). OtherError when no partition is mounted at "/": every plan images or
// restores the root partition, and one naming none would fail only in the live system.
int readPartitionIdentities(MachineValues& machine);
