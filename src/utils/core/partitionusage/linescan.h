#pragma once

// Small pieces shared by the usage parsers. Internal to this folder.

#include <QString>
#include <QStringList>

namespace usage {

// Output lines split at line feeds, empty lines kept.
QStringList Lines(const QString& out);

// Field index of the line split at sep, trimmed; empty when the line has fewer fields.
QString Field(const QString& line, QChar sep, int index);
// Last field of the line split at sep, trimmed.
QString LastField(const QString& line, QChar sep);

// Decimal numbers; text that is not a number reads as 0.
int ToInt(const QString& text);
qint64 ToInt64(const QString& text);

// Capture group 1 of pattern in line, stored in value only when it is not empty; true if stored.
bool TakeCapture(const QString& pattern, const QString& line, qint64& value);
bool TakeCapture(const QString& pattern, const QString& line, int& value);

// a * b, false when the product does not fit (only crafted output gets there).
bool Multiply(qint64 a, qint64 b, qint64& product);

// A block-counting reading: bs, block count and free blocks, each noted when its line was seen.
struct BlockCounts {
    int bs = 0;
    qint64 count = 0;
    qint64 free = 0;
    bool freeSeen = false;
};

// freespace = free * bs, total = count * bs. Accepted when bs and count are positive and a free
// figure was read that is not negative: a full file system (free 0) is a valid reading.
bool AcceptBlockCounts(const BlockCounts& counts, qint64& freespace, qint64& total);

}  // namespace usage
