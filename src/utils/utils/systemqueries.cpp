#include "utils/utils/systemqueries.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSettings>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QUuid>

#include "platform/text/nultext.h"
#include "utils/core/command/spawncmd.h"

namespace {

// Standard output of a successful run, trimmed; an empty text when the run fails.
QString trimmedOutputOf(const QString& cmd, const QStringList& args) {
    QString output;
    if (!SpawnCmd(cmd, args, output)) {
        return {};
    }
    return output.trimmed();
}

}  // namespace

bool parseDuOutput(const QString& output, const QString& dir, quint64& blocks) {
    // du writes "<size>\t<path>"; only tabs divide the line, so blanks in a path stay whole.
    const QStringList lines = output.split('\n');
    for (const QString& line : lines) {
        const QStringList fields = line.split('\t');
        if (fields.last() != dir) {
            continue;
        }
        bool ok = false;
        blocks = fields.first().toULongLong(&ok, 10);
        return ok;
    }
    return false;
}

bool getDirectorySize(const QString& dir, quint64& blocks) {
    blocks = 0;
    QString output;
    // The unit named, so that no DU_BLOCK_SIZE or BLOCK_SIZE of the caller's can change it.
    SpawnCmd("du", {"--block-size=1024", "--max-depth=0", dir}, output);
    if (!parseDuOutput(output, dir, blocks)) {
        blocks = 0;
        return false;
    }
    return true;
}

namespace Utils {

QString getArchitecture() {
    return trimmedOutputOf("dpkg", {"--print-architecture"});
}

QString getUtcTime() {
    return trimmedOutputOf("date", {"-u", "+%Y-%m-%dT%H:%M:%SZ"});
}

qint64 parseSwapPartitionSize(const QString& output, const QString& path) {
    const QStringList lines = output.split('\n', Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const QStringList parts = line.split(' ', Qt::SkipEmptyParts);
        if (parts.size() < 2) {
            continue;
        }
        if (parts.first().trimmed() == path) {
            return static_cast<qint64>(parts.last().trimmed().toULongLong(nullptr, 10));
        }
    }
    return 0;
}

bool getSwapPartitionSize(const QString& path, qint64& size) {
    size = 0;
    QString output;
    QString error;
    if (!SpawnCmd("lsblk", {"--bytes", "--output", "PATH,SIZE"}, output, error)) {
        qInfo() << "getSwapPartitionSize call lsblk failed, err = " << error << ", out: " << output;
        return false;
    }
    size = parseSwapPartitionSize(output, path);
    return true;
}

bool isValidOsiImage(const QString& file) {
    // An image tool that cannot even be started has checked nothing: such an image must not
    // pass as valid and let a restore through.
    const QString tool = QStandardPaths::findExecutable("orvik-clone");
    if (tool.isEmpty()) {
        qWarning() << "The image tool orvik-clone cannot be found to check" << file;
        return false;
    }
    QString output;
    QString error;
    SpawnExit exit;
    SpawnCmd(tool, {"--osi-info", file}, output, error, exit);
    if (!exit.started) {
        qWarning() << "The image tool could not be started to check" << file;
        return false;
    }
    // A tool that died part way has not finished reading the image: it may be the image
    // itself that made it crash.
    if (exit.timedOut) {
        qWarning() << "The image tool did not finish checking" << file << "in time";
        return false;
    }
    if (exit.crashed) {
        qWarning() << "The image tool was killed by signal" << exit.code << "while checking"
                   << file;
        return false;
    }
    // Its own exit codes are not ours to read; only its complaint marks a bad image.
    if (error.contains("invalid file")) {
        return false;
    }
    if (exit.code != 0) {
        qWarning() << "The image tool exited with code" << exit.code << "checking" << file
                   << "without calling it invalid";
    }
    return true;
}

bool isReadOnly(const QString& path) {
    if (QStorageInfo(path).isReadOnly()) {
        return true;
    }
    // Permissions, quotas and the like only show when we really try to write.
    const QString probe = path + "/.writeable_" + QUuid::createUuid().toString();
    QFile file(probe);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        return true;
    }
    file.remove();
    return false;
}

QJsonObject readJsonFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (doc.isNull() || error.error != QJsonParseError::NoError || !doc.isObject()) {
        return {};
    }
    return doc.object();
}

QJsonObject jsonFromString(const QString& text) {
    const QJsonDocument doc = QJsonDocument::fromJson(text.toLocal8Bit());
    return doc.isNull() ? QJsonObject() : doc.object();
}

QString jsonToString(const QJsonObject& object) {
    return QString::fromUtf8(QJsonDocument(object).toJson());
}

QString getRecoveryUuid(const QString& root) {
    const QString file = QString("%1/etc/orvik/system-recovery.conf").arg(root);
    if (!QFile::exists(file)) {
        return {};
    }
    return QSettings(file, QSettings::IniFormat).value("UUID").toString();
}

bool hasBackupImages(const FSTabInfoList& fstab, const QString& uuid) {
    // An empty UUID would pick the first entry named by device path: it names no partition.
    if (uuid.isEmpty()) {
        return false;
    }
    const FSTabInfoPtr entry = FSTab::findByUUID(fstab, uuid);
    if (entry.isNull()) {
        return false;
    }
    const QDir backupDir(QString("%1/backup").arg(entry->mountPoint), "*.osi", QDir::NoSort,
                         QDir::NoFilter);
    return !backupDir.entryList().isEmpty();
}

bool hasBackupImages(const QString& uuid) {
    // Read once for the life of the process; a function-local static is built safely even
    // when two threads ask first at the same moment.
    static const FSTabInfoList fstab = FSTab::getFSTabFromFile("/etc/fstab");
    return hasBackupImages(fstab, uuid);
}

QString parseProcessStatName(const QString& stat) {
    QString name;
    const QStringList lines = stat.split('\n');
    for (const QString& line : lines) {
        const QString beforeClose = line.section(')', 0, 0);
        name += beforeClose.section('(', 1, 1);
    }
    return name;
}

bool getProcessNameByPid(int pid, QString& name) {
    // Read the stat file ourselves rather than through cat and awk: same name, no shell, and a
    // process that does not exist is a failure instead of an empty success.
    QFile file(QString("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray bytes = file.readAll();
    name.append(parseProcessStatName(textUpToNul(bytes)));
    name.remove(' ');
    name.remove('\n');
    return true;
}

bool reboot(bool ignoreInhibitors, bool force) {
    if (force) {
        return SpawnCmd("systemctl", {"reboot", "-f"});
    }
    if (ignoreInhibitors) {
        return SpawnCmd("systemctl", {"reboot", "-i"});
    }
    return SpawnCmd("systemctl", {"reboot"});
}

bool forceReboot() {
    return SpawnCmd("sudo", {"reboot", "-f"});
}

bool removePath(const QString& path) {
    return SpawnCmd("sudo", {"rm", "-rf", path});
}

}  // namespace Utils
