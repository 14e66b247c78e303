#include "utils/FsTab/fstab.h"

#include <QDebug>
#include <QFile>

#include "platform/text/nultext.h"

namespace {

// Columns are stored only when the line has exactly six of them; anything else is kept as a
// real entry without columns, so a malformed line never stops the reading.
void fillColumns(FSTabInfo& info, const QString& piece) {
    QString spaced = piece;
    spaced.replace('\t', ' ');
    const QStringList columns = spaced.split(' ', Qt::SkipEmptyParts);
    if (columns.size() != 6) {
        return;
    }
    info.device = columns.at(0);
    info.mountPoint = columns.at(1);
    info.type = columns.at(2);
    info.options = columns.at(3);
    info.dump = columns.at(4);
    info.pass = columns.at(5);
}

FSTabInfoPtr parseLine(const QByteArray& bytes) {
    FSTabInfoPtr info(new FSTabInfo);
    const QString piece = textUpToNul(bytes);
    const QString trimmed = piece.trimmed();
    info->isComment = trimmed.startsWith('#');
    info->isEmptyLine = trimmed.isEmpty();
    if (info->isComment) {
        info->line = piece;
    } else if (!info->isEmptyLine) {
        info->line = piece;
        fillColumns(*info, piece);
    }
    return info;
}

bool isReal(const FSTabInfoPtr& info) {
    return !info->isComment && !info->isEmptyLine;
}

bool isBind(const FSTabInfoPtr& info) {
    return info->options.contains("bind");
}

}  // namespace

FSTabInfoList FSTab::getFSTabFromFile(const QString& fileName) {
    if (!QFile::exists(fileName)) {
        qWarning() << "getFSTabFromFile file not exists, fileName: " << fileName;
        return {};
    }
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return {};
    }
    const QByteArray content = file.readAll();
    file.close();
    return parseFSTab(content);
}

FSTabInfoList FSTab::parseFSTab(const QByteArray& content) {
    FSTabInfoList list;
    // Every piece counts, so a final line break leaves an empty last entry.
    const QList<QByteArray> pieces = content.split('\n');
    for (const QByteArray& piece : pieces) {
        list.append(parseLine(piece));
    }
    return list;
}

QString FSTab::getUUID(const FSTabInfoPtr& info) {
    if (info.isNull() || !info->device.startsWith("UUID=")) {
        return {};
    }
    const QStringList parts = info->device.split('=', Qt::SkipEmptyParts);
    return parts.size() == 2 ? parts.at(1) : QString();
}

FSTabInfoPtr FSTab::findByUUID(const FSTabInfoList& list, const QString& uuid) {
    for (const FSTabInfoPtr& info : list) {
        if (isReal(info) && getUUID(info) == uuid) {
            return info;
        }
    }
    return {};
}

FSTabInfoPtr FSTab::findByMountPoint(const FSTabInfoList& list, const QString& mountPoint) {
    for (const FSTabInfoPtr& info : list) {
        if (isReal(info) && info->mountPoint == mountPoint) {
            return info;
        }
    }
    return {};
}

bool FSTab::containsUUID(const QString& uuid, const FSTabInfoList& list) {
    for (const FSTabInfoPtr& info : list) {
        if (isReal(info) && !isBind(info) && getUUID(info) == uuid) {
            return true;
        }
    }
    return false;
}

QStringList FSTab::getUUIDList(const FSTabInfoList& list) {
    QStringList uuids;
    for (const FSTabInfoPtr& info : list) {
        if (!isReal(info) || isBind(info)) {
            continue;
        }
        const QString uuid = getUUID(info);
        if (!uuid.isEmpty()) {
            uuids.append(uuid);
        }
    }
    return uuids;
}

void FSTab::getBindMap(const FSTabInfoList& list, QMap<QString, QString>& bindMap) {
    bindMap.clear();
    for (const FSTabInfoPtr& info : list) {
        if (isBind(info)) {
            bindMap[info->mountPoint] = info->device + "/";
        }
    }
}

bool FSTab::isRootUUID(const QString& uuid, const QString& rootDir) {
    const FSTabInfoList list = getFSTabFromFile(rootDir + "/etc/fstab");
    if (list.isEmpty()) {
        return false;
    }
    const FSTabInfoPtr info = findByUUID(list, uuid);
    return !info.isNull() && info->mountPoint == "/";
}
