#include "tool/main/status.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>

#include "platform/otk/osysinfo.h"
#include "platform/udisks/disks.h"
#include "tool/main/liveflag.h"
#include "tool/main/machinechecks.h"
#include "utils/utils/backuphistory.h"
#include "utils/utils/systemqueries.h"

namespace {

const char kTimeFormat[] = "yyyy-MM-dd hh:mm:ss";

// Keys never hold ": ", so a reader splits each line at its first ": ".
class Facts {
public:
    void add(const QString& key, const QString& value) { m_lines << key + ": " + value; }
    void print() const {
        const QByteArray text = m_lines.join('\n').toUtf8() + '\n';
        std::fwrite(text.constData(), 1, text.size(), stdout);
        std::fflush(stdout);
    }

private:
    QStringList m_lines;
};

QString yesNo(bool value) {
    return value ? QObject::tr("yes") : QObject::tr("no");
}

QString flagRead() {
    using Otk::Core::OSysInfo;
    return chooseLiveFlagPath(OSysInfo::majorVersion(), OSysInfo::minorVersion(),
                              OSysInfo::buildVersion());
}

QString handOffState(bool flag, bool taskFile) {
    if (flag && taskFile) {
        return QObject::tr("a plan is pending");
    }
    if (flag) {
        return QObject::tr("a flag without a task file");
    }
    return taskFile ? QObject::tr("a task file without a flag (not pending)")
                    : QObject::tr("nothing pending");
}

void addFlags(Facts& facts, const QString& read) {
    for (const char* flag : {liveFlagPath, liveFlagPathNew}) {
        facts.add(QObject::tr("Flag %1").arg(flag),
                  QFileInfo::exists(flag) ? QObject::tr("raised") : QObject::tr("absent"));
    }
    facts.add(QObject::tr("Flag read at the next boot"), read);
}

// The partition a "UUID:" argument names, as the run's listing shows it.
void addPartition(Facts& facts, const QString& key, const QString& uuid, const Disks& disks) {
    const ListedDevice* device = disks.byUuid(uuid);
    if (!device) {
        facts.add(QObject::tr("%1 device").arg(key), QObject::tr("no partition has this UUID"));
        return;
    }
    const QString mountPoint = disks.mountPointOf(*device);
    facts.add(QObject::tr("%1 device").arg(key), device->node);
    facts.add(QObject::tr("%1 label").arg(key), device->label);
    facts.add(QObject::tr("%1 mount point").arg(key),
              mountPoint.isEmpty() ? QObject::tr("not mounted") : mountPoint);
}

void addTask(Facts& facts, int number, const QJsonObject& task, const Disks& disks) {
    facts.add(QObject::tr("Task %1").arg(number), task.value("message").toString());
    facts.add(QObject::tr("Task %1 command").arg(number), task.value("command").toString());
    const QJsonArray args = task.value("args").toArray();
    for (int i = 0; i < args.size(); ++i) {
        const QString key = QObject::tr("Task %1 argument %2").arg(number).arg(i + 1);
        const QString arg = args.at(i).toString();
        facts.add(key, arg);
        if (arg.startsWith("UUID:")) {
            addPartition(facts, key, arg.mid(5), disks);
        }
    }
}

bool hasFormatTask(const QJsonArray& tasks) {
    for (const QJsonValue& task : tasks) {
        if (task.toObject().value("command").toString() == "refresh-data-partition") {
            return true;
        }
    }
    return false;
}

void addPlan(Facts& facts, const QJsonObject& plan, const QFileInfo& file, const Disks& disks) {
    const QJsonArray tasks = plan.value("tasks").toArray();
    facts.add(QObject::tr("Plan type"), plan.value("type").toString());
    facts.add(QObject::tr("Plan written"), file.lastModified().toString(kTimeFormat));
    facts.add(QObject::tr("Plan locale"), plan.value("locale").toString());
    facts.add(QObject::tr("Format data partition"), yesNo(hasFormatTask(tasks)));
    facts.add(QObject::tr("Reboot when done"), yesNo(plan.value("auto_reboot").toBool()));
    int number = 0;
    for (const QJsonValue& task : tasks) {
        // The live system skips what is switched off; the tool itself writes none such.
        if (task.toObject().value("enable").toBool(true)) {
            addTask(facts, ++number, task.toObject(), disks);
        }
    }
}

// The partition receiving a backup plan: the second argument of its first backup task.
QString backupLocationUuid(const QJsonObject& plan) {
    for (const QJsonValue& task : plan.value("tasks").toArray()) {
        const QString command = task.toObject().value("command").toString();
        const QJsonArray args = task.toObject().value("args").toArray();
        if (command.startsWith("create-backup-") && args.size() > 1) {
            return args.at(1).toString().mid(QString("UUID:").size());
        }
    }
    return QString();
}

void addRecordedBackups(Facts& facts, const MachineValues& machine, const QString& uuid) {
    const QJsonObject times =
        Utils::readJsonFile(machine.recoveryMountPoint + "/backup/savePath.json")
            .value(uuid)
            .toObject();
    QList<BackupFileInfo> backups;
    for (auto it = times.begin(); it != times.end(); ++it) {
        backups.append({uuid, it.value().toString(), QString(), it.key()});
    }
    Utils::sortBackupsNewestFirst(backups);
    facts.add(QObject::tr("Recorded backups"), QString::number(backups.size()));
    const QString mountPoint = machine.disks.mountPointOf(uuid);
    for (int i = 0; i < backups.size(); ++i) {
        const BackupFileInfo& backup = backups.at(i);
        const QString key = QObject::tr("Recorded backup %1").arg(i + 1);
        facts.add(key, backup.backupPath);
        facts.add(
            QObject::tr("%1 created").arg(key),
            QDateTime::fromSecsSinceEpoch(backup.createTime.toLongLong()).toString(kTimeFormat));
        // The index stores its paths with their leading "/".
        const QString state =
            mountPoint.isEmpty() ? QObject::tr("unknown, the partition is not mounted")
            : QFileInfo(mountPoint + backup.backupPath).isDir() ? QObject::tr("present")
                                                                : QObject::tr("missing");
        facts.add(QObject::tr("%1 directory").arg(key), state);
    }
}

// The task file's facts; false when it exists but cannot be read.
bool addTaskFile(Facts& facts, const MachineValues& machine, const QString& path) {
    const QFileInfo info(path);
    if (!info.exists()) {
        facts.add(QObject::tr("Task file"), QObject::tr("none"));
        return true;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << QObject::tr("Cannot read %1").arg(path);
        return false;
    }
    facts.add(QObject::tr("Task file"), path);
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject()) {
        facts.add(QObject::tr("Plan type"), QObject::tr("not a valid plan"));
        return true;
    }
    const QJsonObject plan = document.object();
    addPlan(facts, plan, info, machine.disks);
    if (plan.value("type").toString() == "SystemBackup") {
        addRecordedBackups(facts, machine, backupLocationUuid(plan));
    }
    return true;
}

}  // namespace

int reportStatus() {
    MachineValues machine;
    int code = readRecoveryConfiguration(machine);
    if (code == NoError) {
        code = locateRecoveryPartition(machine);
    }
    if (code != NoError) {
        return code;
    }
    const QString taskFile = machine.recoveryMountPoint + "/backup/recovery.json";
    const QString read = flagRead();
    Facts facts;
    facts.add(QObject::tr("Next boot"),
              handOffState(QFileInfo::exists(read), QFileInfo::exists(taskFile)));
    addFlags(facts, read);
    if (!addTaskFile(facts, machine, taskFile)) {
        return OtherError;
    }
    facts.print();
    return NoError;
}
