#include "utils/core/partitionusage/partitionusage.h"

#include <QDebug>
#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <cmath>

#include "platform/text/nultext.h"

namespace {

using Reader = bool (*)(const QString&, qint64&, qint64&);

Reader ReaderFor(FsType type) {
    switch (type) {
        case Btrfs:
            return ReadBtrfsUsage;
        case Efi:
        case Fat16:
        case Fat32:
        case Vfat:
            return ReadFat16Usage;
        case Ext2:
        case Ext3:
        case Ext4:
            return ReadExtUsage;
        case Jfs:
            return ReadJfsUsage;
        case LinuxSwap:
            return ReadSwapUsage;
        case Nilfs2:
            return ReadNilfs2Usage;
        case Ntfs:
            return ReadNtfsUsage;
        case Reiser4:
            return ReadReiser4Usage;
        case Reiserfs:
            return ReadReiserfsUsage;
        case Xfs:
            return ReadXfsUsage;
        default:
            return nullptr;
    }
}

struct SizeUnit {
    const char* name;
    float factor;
};

// Searched in this order; the first unit found anywhere in the text counts.
const SizeUnit kSizeUnits[] = {
    {"KiB", 1024.0f},          {"MiB", 1048576.0f},          {"GiB", 1073741824.0f},
    {"TiB", 1099511627776.0f}, {"PiB", 1125899906842624.0f},
};

}  // namespace

bool ReadUsage(const QString& path, FsType type, qint64& freespace, qint64& total) {
    const Reader reader = ReaderFor(type);
    if (reader && reader(path, freespace, total)) {
        return true;
    }
    freespace = -1;
    total = -1;
    qWarning() << "Failed to read usage:" << path;
    return false;
}

bool HasUsageReader(FsType type) {
    return ReaderFor(type) != nullptr;
}

QString ReadFile(const QString& path) {
    QFile file(path);
    if (!file.exists()) {
        qWarning() << "ReadFileContent() file not found: " << path;
        return QString();
    }
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qWarning() << "ReadFile() failed to open" << path;
        return QString();
    }
    const QByteArray bytes = file.readAll();
    file.close();
    return textUpToNul(bytes);
}

namespace {

// The readers ask with a handful of fixed patterns, often several times a run: each is
// compiled once per thread (compiling, to machine code too, costs more than matching a line).
const QRegularExpression& compiledPattern(const QString& pattern) {
    thread_local QHash<QString, QRegularExpression> compiled;
    auto found = compiled.find(pattern);
    if (found == compiled.end()) {
        found = compiled.insert(pattern,
                                QRegularExpression(pattern, QRegularExpression::MultilineOption));
    }
    return *found;
}

}  // namespace

QString CaptureFirstGroup(const QString& pattern, const QString& text) {
    const QRegularExpression& regex = compiledPattern(pattern);
    if (!regex.isValid()) {
        return QString();
    }
    const QRegularExpressionMatch match = regex.match(text);
    return match.hasMatch() ? match.captured(1) : QString();
}

qint64 ParseSizeText(const QString& text) {
    // At least two digits: "7GiB" reads as 0.
    const float number = CaptureFirstGroup("^(\\d+\\.?\\d+)", text).toFloat();
    for (const SizeUnit& unit : kSizeUnits) {
        if (text.contains(QLatin1String(unit.name))) {
            const float bytes = number * unit.factor;
            // Beyond 2^63 the figure has no 64-bit value: unreadable, like a missing unit.
            if (!std::isfinite(bytes) || bytes >= 9223372036854775808.0f) {
                return -1;
            }
            return static_cast<qint64>(bytes);
        }
    }
    return -1;
}
