#pragma once

#include <QList>
#include <QString>

#include "utils/core/partitionusage/fstype.h"

// Free and total bytes of a partition, read with its file system's own tool.
// -1 and -1 when the usage cannot be read.
bool ReadUsage(const QString& path, FsType type, qint64& freespace, qint64& total);
// Whether ReadUsage has a reader for the family at all.
bool HasUsageReader(FsType type);

bool ReadBtrfsUsage(const QString& path, qint64& freespace, qint64& total);
bool ReadFat16Usage(const QString& path, qint64& freespace, qint64& total);
bool ReadExtUsage(const QString& path, qint64& freespace, qint64& total);
bool ReadNtfsUsage(const QString& path, qint64& freespace, qint64& total);
bool ReadReiser4Usage(const QString& path, qint64& freespace, qint64& total);
bool ReadJfsUsage(const QString& path, qint64& freespace, qint64& total);
bool ReadNilfs2Usage(const QString& path, qint64& freespace, qint64& total);
bool ReadReiserfsUsage(const QString& path, qint64& freespace, qint64& total);
bool ReadXfsUsage(const QString& path, qint64& freespace, qint64& total);
bool ReadSwapUsage(const QString& path, qint64& freespace, qint64& total);

struct SwapItem {
    QString filename;
    int type = 0;  // 0 partition, 1 anything else
    qint64 size = 0;
    qint64 used = 0;
    int priority = 0;
};

QList<SwapItem> ParseSwaps();
QString ReadFile(const QString& path);
QString CaptureFirstGroup(const QString& pattern, const QString& text);
qint64 ParseSizeText(const QString& text);
