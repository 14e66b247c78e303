#include "utils/utils/cmdline.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include "utils/FsTab/fstab.h"

namespace {

const char kCmdLinePath[] = "/proc/cmdline";
const char kByUuidDir[] = "/dev/disk/by-uuid";

// The text after the last '=', white space simplified: "root=UUID=x\n" gives "x".
QString tokenValue(const QString& token) {
    return token.split('=').last().simplified();
}

// Finds the by-uuid entry whose link target is the target of the root device link. A
// device that is not a link resolves to nothing. With stopAtFirst the first match ends the
// directory scan; otherwise a later match overwrites an earlier one.
bool resolveRootDevice(const QString& token, const QString& byUuidDir, const QString& tag,
                       bool stopAtFirst, QString& rootUuid) {
    const QFileInfo device(tokenValue(token));
    if (!device.isSymLink()) {
        return false;
    }
    const QString mapperTarget = device.symLinkTarget();
    qDebug() << qUtf8Printable(tag + " mapperTarget=") << mapperTarget;

    bool found = false;
    const QFileInfoList entries = QDir(byUuidDir).entryInfoList(
        QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo& entry : entries) {
        if (!entry.isSymLink()) {
            continue;
        }
        const QString uuidTarget = entry.symLinkTarget();
        qDebug() << qUtf8Printable(tag + " uuidTarget=") << uuidTarget;
        if (uuidTarget == mapperTarget) {
            rootUuid = entry.fileName();
            found = true;
            if (stopAtFirst) {
                break;
            }
        }
    }
    return found;
}

// Reads /proc/cmdline; the warnings name the calling parser.
bool readCmdLine(const QString& tag, QString& text) {
    QFile file(kCmdLinePath);
    if (!file.exists()) {
        qWarning() << qUtf8Printable(tag + " /proc/cmdline not exists!");
        return false;
    }
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qWarning() << qUtf8Printable(tag + " open /proc/cmdline failed");
        return false;
    }
    text = QString::fromUtf8(file.readAll());
    file.close();
    return true;
}

}  // namespace

namespace Utils {

void parseCmdLineInfo(const QString& cmdline, CmdLineInfo& info, const QString& byUuidDir) {
    const QStringList tokens = cmdline.split(' ');
    for (const QString& token : tokens) {
        if (token.startsWith("BOOT_IMAGE=")) {
            info.bootImage = tokenValue(token);
        } else if (token.startsWith("boot=")) {
            info.boot = tokenValue(token);
        } else if (token.startsWith("boot-from=")) {
            info.bootFrom = tokenValue(token);
        } else if (token.startsWith("live-media-path=")) {
            info.liveMediaPath = tokenValue(token);
        } else if (token.startsWith("toram=")) {
            info.toram = tokenValue(token);
        } else if (token.startsWith("union=")) {
            info.unionType = tokenValue(token);
        } else if (token.startsWith("root=")) {
            if (token.contains("UUID=")) {
                info.rootUuid = tokenValue(token);
            } else {
                resolveRootDevice(token, byUuidDir, "getCmdLineInfo", false, info.rootUuid);
            }
        }
    }
}

void parseLiveRootUUIDAndBootType(const QString& cmdline, QString& rootUuid, QString& bootType,
                                  const QString& byUuidDir) {
    rootUuid.clear();
    bootType.clear();
    const QStringList tokens = cmdline.split(' ');
    for (const QString& token : tokens) {
        if (token.startsWith("boot-from=")) {
            bootType = tokenValue(token);
        } else if (token.startsWith("root=")) {
            if (token.contains("UUID=")) {
                rootUuid = tokenValue(token);
                if (!bootType.isEmpty()) {
                    break;
                }
            } else {
                resolveRootDevice(token, byUuidDir, "getLiveRootUUIDByCmdLine", !bootType.isEmpty(),
                                  rootUuid);
            }
        }
    }
}

bool getCmdLineInfo(CmdLineInfo& info) {
    QString text;
    if (!readCmdLine("getCmdLineInfo", text)) {
        return false;
    }
    parseCmdLineInfo(text, info, kByUuidDir);
    return true;
}

bool getLiveRootUUIDAndBootTypeByCmdLine(QString& rootUuid, QString& bootType) {
    QString text;
    if (!readCmdLine("getLiveRootUUIDByCmdLine", text)) {
        return false;
    }
    parseLiveRootUUIDAndBootType(text, rootUuid, bootType, kByUuidDir);
    return true;
}

int bootModeOf(const CmdLineInfo& info, const QString& fstabPath) {
    if (info.boot == "live") {
        if (info.unionType == "overlay" && info.bootImage.startsWith("/live/vmlinuz")) {
            return 2;
        }
        if (info.toram == "filesystem.squashfs" && info.liveMediaPath == "usr/dodivu") {
            return 1;
        }
        if (info.liveMediaPath == "recovery_live" && info.bootImage.startsWith("/orvik/vmlinuz")) {
            return 3;
        }
        return -1;
    }
    if (info.rootUuid.isEmpty()) {
        return -1;
    }
    const FSTabInfoList fstab = FSTab::getFSTabFromFile(fstabPath);
    const FSTabInfoPtr root = FSTab::findByUUID(fstab, info.rootUuid);
    return (!root.isNull() && root->mountPoint == "/") ? 0 : 1;
}

int getBootMode(const QString& fstabPath) {
    CmdLineInfo info;
    if (!getCmdLineInfo(info)) {
        return -1;
    }
    return bootModeOf(info, fstabPath);
}

}  // namespace Utils
