// Runs one recovery-environment utility or one job of the background worker and prints
// what it answered as JSON on standard output. The end-to-end tests start it inside the
// simulated machine, where the fixed paths (/proc/cmdline, /dev/disk/by-uuid, /home/orvik,
// /usr/bin/orvik-repair-pkexec) and the disk service are the sandbox's own.
//
//   recenv-probe cmdline
//   recenv-probe blkid
//   recenv-probe mount UUID | umount UUID
//   recenv-probe history INDEX [umount] | paths INDEX
//   recenv-probe recoveryjson PATH
//   recenv-probe locale ROOT
//   recenv-probe checklist MODE ROOT-UUID
//   recenv-probe job N [device=PATH] [root=UUID] [wait=MS] [with=M gap=MS (M beside N)]

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaMethod>
#include <QPair>
#include <QVariant>
#include <cstdio>
#include <cstdlib>

#include "utils/AsyncTask/asynctask.h"
#include "utils/utils/utils.h"

namespace {

void print(const QJsonObject& object) {
    std::fputs(QJsonDocument(object).toJson(QJsonDocument::Compact).constData(), stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
}

QJsonObject cmdline() {
    Utils::CmdLineInfo info;
    const bool ok = Utils::getCmdLineInfo(info);
    QString rootUuid = "unset";
    QString bootType = "unset";
    const bool liveOk = Utils::getLiveRootUUIDAndBootTypeByCmdLine(rootUuid, bootType);
    return {{"ok", ok},
            {"bootImage", info.bootImage},
            {"rootUuid", info.rootUuid},
            {"boot", info.boot},
            {"bootFrom", info.bootFrom},
            {"unionType", info.unionType},
            {"liveMediaPath", info.liveMediaPath},
            {"toram", info.toram},
            {"mode", Utils::getBootMode("/etc/fstab")},
            {"liveOk", liveOk},
            {"liveRootUuid", rootUuid},
            {"liveBootType", bootType}};
}

QJsonObject blkid() {
    QList<Utils::BlkIdInfo> list;
    QString error;
    const bool ok = Utils::getBlkIdInfoList(list, error);
    QJsonArray array;
    for (const Utils::BlkIdInfo& i : list) {
        array.append(QJsonArray{i.devicePath, i.partUuid, i.partLabel, i.label, i.uuid, i.type,
                                i.labelFatboot, i.ptUuid, i.ptType});
    }
    return {{"ok", ok}, {"list", array}, {"error", error}};
}

QJsonObject history(const QString& index, bool umount) {
    QList<BackupFileInfo> list;
    Utils::getHistoryBackup(list, index, umount);
    QJsonArray array;
    for (const BackupFileInfo& i : list) {
        array.append(QJsonArray{i.backupUUID, i.backupPath, i.backupTime, i.createTime});
    }
    return {{"list", array}};
}

QJsonObject paths(const QString& index) {
    QJsonArray array;
    const auto pairs = Utils::getHistoryBackupPaths(index).value<QList<QPair<QString, QString>>>();
    for (const auto& pair : pairs) {
        array.append(QJsonArray{pair.first, pair.second});
    }
    return {{"list", array}};
}

QJsonObject recoveryJson(const QString& path) {
    QJsonObject object{{"untouched", true}};
    const bool ok = Utils::getRecoveryJsonInfo(object, path);
    return {{"ok", ok}, {"object", object}};
}

QJsonObject locale(const QString& root) {
    QString value = "unset";
    const bool ok = Utils::getLocale(root, value);
    return {{"ok", ok}, {"locale", value}};
}

QJsonObject checklist(int mode, const QString& rootUuid) {
    QList<Utils::BlkIdInfo> inventory;
    QString error;
    const bool inventoryOk = Utils::getBlkIdInfoList(inventory, error);
    AsyncTask task(2);
    task.setSystemRootUUID(rootUuid);
    QList<PartitionCheckItem> items;
    const bool ok = task.GetPartitionCheckItemList(items, mode, inventory);
    QJsonArray array;
    for (const PartitionCheckItem& item : items) {
        array.append(item.toJson());
    }
    return {{"inventoryOk", inventoryOk}, {"ok", ok}, {"items", array}};
}

// Records every signal of the worker with its arguments, in order.
class Recorder : public QObject {
public:
    explicit Recorder(AsyncTask& task) {
        watch(task, &AsyncTask::fixPartitionSuccess, "fixPartitionSuccess");
        watch(task, &AsyncTask::fixPartitionFailed, "fixPartitionFailed");
        watch(task, &AsyncTask::showSystemRestoreFinish, "showSystemRestoreFinish");
        watch(task, &AsyncTask::getPartitionCheckItemFinish, "getPartitionCheckItemFinish");
        watch(task, &AsyncTask::initLiveRestorePageFinish, "initLiveRestorePageFinish");
        watch(task, &AsyncTask::initSystemRepairToolPageFinish, "initSystemRepairToolPageFinish");
        watch(task, &AsyncTask::initSystemRepairToolPageFailed, "initSystemRepairToolPageFailed");
    }

    QJsonArray signalsSeen;

private:
    // Signals are emitted from the worker thread: record them there.
    void watch(AsyncTask& task, void (AsyncTask::*signal)(), const char* name) {
        connect(
            &task, signal, this, [this, name] { record(name, {}); }, Qt::DirectConnection);
    }
    void watch(AsyncTask& task, void (AsyncTask::*signal)(QString), const char* name) {
        connect(
            &task, signal, this, [this, name](const QString& a) { record(name, a); },
            Qt::DirectConnection);
    }

    void record(const QByteArray& name, const QVariant& argument) {
        QJsonObject entry{{"name", QString::fromLatin1(name)}};
        if (argument.isValid()) {
            entry.insert("arg", argument.toString());
        }
        signalsSeen.append(entry);
    }
};

QJsonObject job(int number, const QStringList& options) {
    AsyncTask task(number);
    AsyncTask beside(options.filter("with=").value(0).section('=', 1).toInt());  // 0: none
    int waitMs = 60000;
    for (const QString& option : options) {
        const QString value = option.section('=', 1);
        if (option.startsWith("device=")) {
            task.setDevicePath(value);
        } else if (option.startsWith("root=")) {
            task.setSystemRootUUID(value);
            beside.setSystemRootUUID(value);
        } else if (option.startsWith("wait=")) {
            waitMs = value.toInt();
        }
    }
    Recorder recorder(task);
    Recorder seenBeside(beside);
    task.start();
    QThread::msleep(options.filter("gap=").value(0).section('=', 1).toULong());
    beside.start();
    const bool finished = task.wait(waitMs) && beside.wait(waitMs);
    for (const QJsonValue& seen : seenBeside.signalsSeen) {
        recorder.signalsSeen.append(seen);
    }
    const QJsonObject result{{"finished", finished}, {"signals", recorder.signalsSeen}};
    if (!finished) {
        // Job 3 waits for ever by design: report and leave without joining it.
        print(result);
        std::_Exit(0);
    }
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const QString command = args.value(0);
    const QString first = args.value(1);
    QJsonObject result;
    if (command == "cmdline") {
        result = cmdline();
    } else if (command == "blkid") {
        result = blkid();
    } else if (command == "mount") {
        result = {{"mountPoint", Utils::mountDeviceByUUID(first)}};
    } else if (command == "umount") {
        Utils::umountDeviceByUUID(first);
    } else if (command == "history") {
        result = history(first, args.value(2) == "umount");
    } else if (command == "paths") {
        result = paths(first);
    } else if (command == "recoveryjson") {
        result = recoveryJson(first);
    } else if (command == "locale") {
        result = locale(first);
    } else if (command == "checklist") {
        result = checklist(first.toInt(), args.value(2));
    } else if (command == "job") {
        result = job(first.toInt(), args.mid(2));
    } else {
        std::fputs("unknown command\n", stderr);
        return 2;
    }
    print(result);
    return 0;
}
