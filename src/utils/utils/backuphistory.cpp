#include "utils/utils/backuphistory.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QPair>
#include <QStringList>
#include <algorithm>

#include "platform/udisks/disks.h"
#include "utils/core/command/spawncmd.h"
#include "utils/utils/mountusers.h"
#include "utils/utils/systemqueries.h"

namespace {

QString readLocaleValue(const QString& content, const QString& key) {
    const QStringList lines = content.split('\n', Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        if (line.contains(key)) {
            return line.mid(line.indexOf('=') + 1);
        }
    }
    return QString();
}

bool containsLine(const QString& content, const QString& key) {
    const QStringList lines = content.split('\n', Qt::SkipEmptyParts);
    return std::any_of(lines.begin(), lines.end(),
                       [&key](const QString& line) { return line.contains(key); });
}

bool readText(const QString& path, QString& content) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return false;
    }
    content = QString::fromUtf8(file.readAll());
    return true;
}

// The installer's configuration under root: the newer location first.
QString readInstallerConfig(const QString& newPath, const QString& oldPath) {
    QString content;
    if (QFile::exists(newPath)) {
        readText(newPath, content);
    } else if (QFile::exists(oldPath)) {
        readText(oldPath, content);
    }
    return content;
}

quint32 secondsOf(const QString& createTime) {
    return createTime.toUInt();
}

}  // namespace

namespace Utils {

QString mountDeviceByUUID(const QString& uuid) {
    if (uuid.isEmpty()) {
        return {};
    }
    Disks disks = Disks::list();
    return acquireMount(disks, uuid);
}

void umountDeviceByUUID(const QString& uuid) {
    if (uuid.isEmpty()) {
        return;
    }
    releaseMount(uuid);
}

void appendPartitionBackups(QList<BackupFileInfo>& list, const QString& uuid,
                            const QString& mountPoint, const QJsonObject& times) {
    for (auto it = times.begin(); it != times.end(); ++it) {
        const QString backupPath = it.value().toString();
        // The index stores paths with their leading "/", so no separator goes between.
        const QDir dir(mountPoint + backupPath);
        const QStringList osiList = dir.entryList({"*.osi"}, QDir::NoFilter, QDir::NoSort);
        const QStringList tarFileList = dir.entryList({"*.tar"}, QDir::NoFilter, QDir::NoSort);
        qInfo() << "backupFilePath = " << backupPath << ", osiList = " << osiList
                << ", tarFileList = " << tarFileList;
        if (osiList.isEmpty() || tarFileList.size() != 2) {
            continue;
        }
        BackupFileInfo info;
        info.backupUUID = uuid;
        info.backupPath = backupPath;
        info.backupTime = QDateTime::fromSecsSinceEpoch(secondsOf(it.key())).toString("yyyy/MM/dd");
        info.createTime = it.key();
        list.append(info);
    }
}

void sortBackupsNewestFirst(QList<BackupFileInfo>& list) {
    std::stable_sort(list.begin(), list.end(),
                     [](const BackupFileInfo& a, const BackupFileInfo& b) {
                         return secondsOf(a.createTime) > secondsOf(b.createTime);
                     });
}

void getHistoryBackup(QList<BackupFileInfo>& list, const QString& indexPath, bool umount) {
    list.clear();
    const QJsonObject index = readJsonFile(indexPath);
    Disks disks = index.isEmpty() ? Disks() : Disks::list();
    for (auto it = index.begin(); it != index.end(); ++it) {
        const QString uuid = it.key();
        const QString mountPoint = acquireMount(disks, uuid);
        if (mountPoint.isEmpty()) {
            continue;
        }
        appendPartitionBackups(list, uuid, mountPoint, it.value().toObject());
        sortBackupsNewestFirst(list);
        if (umount && releaseMount(uuid)) {
            qInfo() << "getHistoryBackup, umount uuid: " << uuid << ", mountPoint: " << mountPoint;
        }
    }
}

QVariant getHistoryBackupPaths(const QString& indexPath) {
    QList<QPair<QString, QString>> pairs;
    const QJsonObject index = readJsonFile(indexPath);
    Disks disks = index.isEmpty() ? Disks() : Disks::list();
    for (auto it = index.begin(); it != index.end(); ++it) {
        const QString mountPoint = acquireMount(disks, it.key());
        if (mountPoint.isEmpty()) {
            continue;
        }
        const QJsonObject times = it.value().toObject();
        for (auto time = times.begin(); time != times.end(); ++time) {
            pairs.append({time.key(), mountPoint + time.value().toString()});
        }
    }
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const QPair<QString, QString>& a, const QPair<QString, QString>& b) {
                         return secondsOf(a.first) > secondsOf(b.first);
                     });
    return QVariant::fromValue(pairs);
}

bool getRecoveryJsonInfo(QJsonObject& object, const QString& path) {
    qInfo() << "getRecoveryJsonInfo, recoveryJsonPath = " << path;
    QFile file(path);
    if (!file.exists() || !file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return false;
    }
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    file.close();

    qDebug() << "delete file: " << path;
    SpawnCmd("sudo", {"rm", "-f", path});
    object = document.object();
    return true;
}

bool getLocale(const QString& root, QString& locale) {
    locale.clear();
    if (root.isEmpty()) {
        return false;
    }
    const QString base = root.endsWith('/') ? root : root + '/';

    QString content;
    if (readText(base + "etc/default/locale", content) && containsLine(content, "LANGUAGE=")) {
        locale = readLocaleValue(content, "LANGUAGE=");
        return true;
    }

    content = readInstallerConfig(base + "etc/orvik-installer/orvik-installer.conf",
                                  base + "etc/orvik-installer.conf");
    if (!content.isEmpty() && containsLine(content, "OI_LOCALE=")) {
        locale = readLocaleValue(content, "OI_LOCALE=");
        return true;
    }
    return false;
}

}  // namespace Utils
