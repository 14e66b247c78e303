#include "tool/main/status.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <cstdio>

#include "platform/otk/osysinfo.h"
#include "platform/udisks/disks.h"
#include "tool/main/liveflag.h"
#include "tool/main/machinechecks.h"
#include "utils/utils/backuphistory.h"
#include "utils/utils/systemqueries.h"

namespace {

const char kTimeFormat[] = "yyyy-MM-dd hh:mm:ss";

// A value on one line: a backslash and every control character escaped C style (\n, \t,
// \r, \\, the other control characters as \ooo, the three octal digits of their code, the
// Unicode line and paragraph separators as \u2028 and \u2029), so that a path holding a
// newline cannot forge a fact.
QString escapedValue(const QString& value) {
    static const QMap<QChar, QString> named = {
        {'\\', "\\\\"}, {'\n', "\\n"}, {'\t', "\\t"}, {'\r', "\\r"}};
    QString escaped;
    for (const QChar c : value) {
        const QChar::Category category = c.category();
        if (named.contains(c)) {
            escaped += named.value(c);
        } else if (category == QChar::Other_Control) {
            escaped += QString("\\%1").arg(c.unicode(), 3, 8, QChar('0'));
        } else if (category == QChar::Separator_Line || category == QChar::Separator_Paragraph) {
            escaped += QString("\\u%1").arg(c.unicode(), 4, 16, QChar('0'));
        } else {
            escaped += c;
        }
    }
    return escaped;
}

// Keys never hold ": ", so a reader splits each line at its first ": ".
class Facts {
public:
    void add(const QString& key, const QString& value) {
        m_lines << key + ": " + escapedValue(value);
    }
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

// The backup a plan makes: the partition receiving it and its directory there, the second
// and third arguments of the plan's first backup task.
struct PlannedBackup {
    QString uuid;
    QString directory;
};

PlannedBackup plannedBackup(const QJsonObject& plan) {
    for (const QJsonValue& task : plan.value("tasks").toArray()) {
        const QString command = task.toObject().value("command").toString();
        const QJsonArray args = task.toObject().value("args").toArray();
        if (command.startsWith("create-backup-") && args.size() > 1) {
            return {args.at(1).toString().mid(QString("UUID:").size()), args.at(2).toString()};
        }
    }
    return {};
}

// Present, or why not: a pending plan makes its own backup only at the next boot.
QString backupState(const QString& mountPoint, const QString& directory, bool planned) {
    // The index stores its paths with their leading "/".
    if (mountPoint.isEmpty()) {
        return QObject::tr("unknown, the partition is not mounted");
    }
    if (QFileInfo(mountPoint + directory).isDir()) {
        return QObject::tr("present");
    }
    return planned ? QObject::tr("to be made at the next boot") : QObject::tr("missing");
}

void addRecordedBackups(Facts& facts, const MachineValues& machine, const PlannedBackup& planned,
                        bool pending) {
    const QString& uuid = planned.uuid;
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
        const bool made = pending && backup.backupPath == planned.directory;
        facts.add(QObject::tr("%1 directory").arg(key),
                  backupState(mountPoint, backup.backupPath, made));
    }
}

// The task file's facts; false when it exists but cannot be read. pending: the flag is up.
bool addTaskFile(Facts& facts, const MachineValues& machine, const QString& path, bool pending) {
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
        addRecordedBackups(facts, machine, plannedBackup(plan), pending);
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
    const bool flag = QFileInfo::exists(read);
    Facts facts;
    facts.add(QObject::tr("Next boot"), handOffState(flag, QFileInfo::exists(taskFile)));
    addFlags(facts, read);
    if (!addTaskFile(facts, machine, taskFile, flag)) {
        return OtherError;
    }
    facts.print();
    return NoError;
}
