#include "utils/core/partitionusage/linescan.h"

#include "utils/core/partitionusage/partitionusage.h"

namespace usage {

QStringList Lines(const QString& out) {
    return out.split(QLatin1Char('\n'));
}

QString Field(const QString& line, QChar sep, int index) {
    return line.section(sep, index, index).trimmed();
}

QString LastField(const QString& line, QChar sep) {
    return line.section(sep, -1).trimmed();
}

int ToInt(const QString& text) {
    return text.toInt();
}

qint64 ToInt64(const QString& text) {
    return text.toLongLong();
}

bool TakeCapture(const QString& pattern, const QString& line, qint64& value) {
    const QString captured = CaptureFirstGroup(pattern, line);
    if (captured.isEmpty()) {
        return false;
    }
    value = ToInt64(captured);
    return true;
}

bool TakeCapture(const QString& pattern, const QString& line, int& value) {
    const QString captured = CaptureFirstGroup(pattern, line);
    if (captured.isEmpty()) {
        return false;
    }
    value = ToInt(captured);
    return true;
}

bool Multiply(qint64 a, qint64 b, qint64& product) {
    return !__builtin_mul_overflow(a, b, &product);
}

bool AcceptBlockCounts(const BlockCounts& counts, qint64& freespace, qint64& total) {
    const bool fits =
        Multiply(counts.free, counts.bs, freespace) && Multiply(counts.count, counts.bs, total);
    return fits && counts.bs > 0 && counts.count > 0 && counts.freeSeen && counts.free >= 0;
}

}  // namespace usage
