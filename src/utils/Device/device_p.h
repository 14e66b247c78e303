#pragma once

// Helpers shared by the Device sources; not part of the class's interface.

#include <QSet>
#include <QString>

#include "utils/FsTab/fstab.h"

namespace DevicePrivate {

inline bool isRealEntry(const FSTabInfoPtr& entry) {
    return !entry.isNull() && !entry->isComment && !entry->isEmptyLine;
}

// The directories that bind entries take their sources from: each source up to its last "/".
inline QSet<QString> bindSourceDirectories(const FSTabInfoList& fstab) {
    QSet<QString> dirs;
    for (const FSTabInfoPtr& entry : fstab) {
        if (isRealEntry(entry) && entry->options.contains("bind")) {
            const int slash = entry->device.lastIndexOf('/');
            dirs.insert(slash < 0 ? entry->device : entry->device.left(slash));
        }
    }
    return dirs;
}

}  // namespace DevicePrivate
