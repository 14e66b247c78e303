#pragma once

#include <QString>

// The deletion of a former system backup. The directory is named as the save-path index
// records it: relative to its partition's mount point ("/backups/<time stamp>").
//
// Both calls refuse, with a warning naming the directory and why, unless the directory lies
// strictly inside the partition by plain names; unless the mount point, opened, is the root
// of the partition (partition: its device number as the kernel's mount table gives it) and
// nothing is mounted on or above it; when the kernel's mount table shows a file system
// mounted on the directory, inside it, or between the partition's mount point and it; and
// when the way down holds a symbolic link or leaves the partition's device. The deletion
// itself goes through directory handles from that root down, so a link swapped in or a mount
// made meanwhile leads it nowhere else.

// The checks of removeBackupDirectory alone: true when it would go ahead.
bool mayRemoveBackupDirectory(const QString& mountPoint, quint64 partition,
                              const QString& directory);

// Deletes the directory and everything in it, never through a link and never into another
// device. True when the directory is gone afterwards, also when it was gone before.
bool removeBackupDirectory(const QString& mountPoint, quint64 partition, const QString& directory);
