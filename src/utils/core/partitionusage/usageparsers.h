#pragma once

// Pure readers of the usage tools' output: text in, byte counts out. The Read*Usage functions
// only run the tool and hand its standard output to these. Each returns whether the reading is
// accepted; the values it computed are written even when it is not.

#include <QList>
#include <QString>

#include "utils/core/partitionusage/partitionusage.h"

bool ParseExtUsage(const QString& out, qint64& freespace, qint64& total);
bool ParseNtfsUsage(const QString& out, qint64& freespace, qint64& total);
bool ParseReiser4Usage(const QString& out, qint64& freespace, qint64& total);
bool ParseJfsUsage(const QString& out, qint64& freespace, qint64& total);
// total is written only from a "Device size:" line; without one the reading is refused.
bool ParseNilfs2Usage(const QString& out, qint64& freespace, qint64& total);
bool ParseReiserfsUsage(const QString& out, qint64& freespace, qint64& total);
bool ParseXfsUsage(const QString& out, qint64& freespace, qint64& total);
// path is the device node the tool was asked about; its line gives the device size.
bool ParseBtrfsUsage(const QString& out, const QString& path, qint64& freespace, qint64& total);
bool ParseFatUsage(const QString& out, const QString& path, qint64& freespace, qint64& total);

// The lines of /proc/swaps, heading and malformed lines skipped.
QList<SwapItem> ParseSwapsText(const QString& text);
// Total and free of the first item named path; 0 and 0 when there is none.
void SwapUsageOf(const QList<SwapItem>& items, const QString& path, qint64& freespace,
                 qint64& total);
