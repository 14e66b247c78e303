#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace Utils {

// One device as blkid prints it; a field blkid did not print stays empty.
struct BlkIdInfo {
    QString devicePath;
    QString partUuid;
    QString partLabel;
    QString label;
    QString uuid;
    QString type;
    QString labelFatboot;
    QString ptUuid;
    QString ptType;
};

// Every device blkid reports, plus the LVM volumes under /dev/mapper it does not print.
// Standard error of the commands is appended to error.
bool getBlkIdInfoList(QList<BlkIdInfo>& list, QString& error);

// The text between the first pair of double quotes after the start of key; empty when
// key or either quote is missing.
QString extractQuotedValue(const QString& text, const QString& key);

// One trimmed blkid line (it must hold a ':') as a record.
BlkIdInfo parseBlkIdLine(const QString& line);

// Names of the entries of a mapper directory that are links to dm-* devices, sorted by
// name. False when the directory cannot be read.
bool listMapperVolumes(const QString& mapperDir, QStringList& names);

}  // namespace Utils
