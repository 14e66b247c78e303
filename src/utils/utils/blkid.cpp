#include "utils/utils/blkid.h"
#include "utils/utils/blkid_p.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSet>

#include "utils/core/command/spawncmd.h"

namespace {

const char kMapperPrefix[] = "/dev/mapper/";

QString& mapperDir() {
    static QString dir = kMapperPrefix;
    return dir;
}

bool isRecordedMapper(const QString& devicePath) {
    return devicePath.startsWith(kMapperPrefix) && !devicePath.startsWith("/dev/mapper/luks");
}

// Appends the LVM volumes that blkid left out; known holds the mapper paths already listed.
bool appendMapperVolumes(QList<Utils::BlkIdInfo>& list, QSet<QString>& known, QString& error) {
    QStringList names;
    if (!Utils::listMapperVolumes(mapperDir(), names)) {
        error.append(QString("cannot read %1\n").arg(mapperDir()));
        qWarning() << "ls -l /dev/mapper/ failed, error: " << error;
        return false;
    }
    qInfo() << "lvmOutput: " << names.join('\n');
    for (const QString& rawName : names) {
        const QString name = rawName.trimmed();
        if (name.isEmpty() || name.startsWith("luks")) {
            continue;
        }
        const QString path = kMapperPrefix + name;
        if (known.contains(path)) {
            continue;
        }
        known.insert(path);
        Utils::BlkIdInfo info;
        info.devicePath = path;
        list.append(info);
    }
    return true;
}

}  // namespace

namespace Utils {

QString extractQuotedValue(const QString& text, const QString& key) {
    const int at = text.indexOf(key);
    if (at < 0) {
        return {};
    }
    const QString rest = text.mid(at + 1);
    const int open = rest.indexOf('"');
    if (open < 0) {
        return {};
    }
    const QString quoted = rest.mid(open + 1);
    const int close = quoted.indexOf('"');
    if (close < 0) {
        return {};
    }
    return quoted.left(close);
}

BlkIdInfo parseBlkIdLine(const QString& line) {
    // The leading blanks keep " UUID=" out of "PARTUUID=", " LABEL=" out of "PARTLABEL="
    // and " TYPE=" out of "PTTYPE=".
    BlkIdInfo info;
    info.devicePath = line.left(line.indexOf(':'));
    info.partUuid = extractQuotedValue(line, " PARTUUID=");
    info.partLabel = extractQuotedValue(line, "PARTLABEL=");
    info.label = extractQuotedValue(line, " LABEL=");
    info.uuid = extractQuotedValue(line, " UUID=");
    info.type = extractQuotedValue(line, " TYPE=");
    info.labelFatboot = extractQuotedValue(line, " LABEL_FATBOOT=");
    info.ptUuid = extractQuotedValue(line, " PTUUID=");
    info.ptType = extractQuotedValue(line, " PTTYPE=");
    return info;
}

bool listMapperVolumes(const QString& dir, QStringList& names) {
    names.clear();
    QDir mapper(dir);
    if (!mapper.exists() || !mapper.isReadable()) {
        return false;
    }
    const QFileInfoList entries = mapper.entryInfoList(
        QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& entry : entries) {
        if (entry.isSymLink() && QFileInfo(entry.symLinkTarget()).fileName().startsWith("dm-")) {
            names.append(entry.fileName());
        }
    }
    return true;
}

void setMapperDirForTests(const QString& dir) {
    mapperDir() = dir;
}

bool getBlkIdInfoList(QList<BlkIdInfo>& list, QString& error) {
    list.clear();
    QString output;
    if (!SpawnCmd("sudo", {"blkid"}, output, error)) {
        qWarning() << "getBlkid failed, error: " << error;
        return false;
    }

    bool hasLvmMember = false;
    QSet<QString> mapperPaths;
    const QStringList lines = output.split('\n', Qt::SkipEmptyParts);
    for (const QString& rawLine : lines) {
        const QString line = rawLine.trimmed();
        if (!line.contains(':')) {
            continue;
        }
        qInfo() << "getBlkIdInfoList line: " << line;
        const BlkIdInfo info = parseBlkIdLine(line);
        list.append(info);
        if (!hasLvmMember && info.type.contains("LVM2_member", Qt::CaseInsensitive)) {
            hasLvmMember = true;
        }
        if (isRecordedMapper(info.devicePath)) {
            mapperPaths.insert(info.devicePath);
        }
    }

    if (!hasLvmMember) {
        return true;
    }
    return appendMapperVolumes(list, mapperPaths, error);
}

}  // namespace Utils
