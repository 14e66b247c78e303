#pragma once

#include <QString>

class Disks;

namespace Utils {

// The partitions this process mounted through the disk service, with how many callers use
// each; the worker's jobs share them across threads. A mount this process found (the running
// system's "/", an fstab mount, one made by another program) is never counted and never
// released here.

// The mount point of the partition carrying uuid, mounted through the service when it is not
// mounted yet; a mount this process made gains one user. Empty when no device carries uuid.
QString acquireMount(Disks& disks, const QString& uuid);
// Drops one user of a mount this process made; the last one unmounts it. True when it did.
bool releaseMount(const QString& uuid);

}  // namespace Utils
