#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QThread>

#include "utils/FsTab/fstab.h"
#include "utils/utils/blkid.h"

// Page names and icon resources of the recovery front end.
inline const QString kRepairFileSystemPage = "RepairFileSystem";
inline const QString kSystemRestorePage = "SystemRestore";
inline const QString kRepairFileSystemIcon = ":/repair_file_system.svg";
inline const QString kRepairToolIcon = ":/orvik-repair.svg";
inline const QString kSystemRestoreIcon = ":/system_restore.svg";

// One line of the partition-check list.
struct PartitionCheckItem {
    QString devicePath;
    QString label;
    QString uuid;
    QString mountPoint;
    QString fsType;
    int status = 0;       // 0 no error found, -1 error found or not checkable
    int deviceType = -1;  // 1 partition of the installed system, 0 other, -1 not determined

    QString toString() const;
    QJsonObject toJson() const;
    // Sets only the fields whose key the object holds.
    void fromJson(const QJsonObject& object);
};

// The facts of the live restore page.
struct RestoreBaseInfo {
    QString recoveryUUID;
    QString osType;
    QString backupInfo;    // a JSON document
    QString recoveryInfo;  // a JSON document
    int osVersion = -1;
    bool isExitsInitBackup = false;
    bool isDeviceOS = false;
    bool isLvm = false;
    bool isEncrypted = false;
    bool isFileManagerEncrypted = false;

    QJsonObject toJson() const;
};

// Runs one slow job of the recovery front end off its user-interface thread and reports
// through a signal emitted from the worker thread. Job numbers:
// 1 repair devicePath, 2 partition-check list, 3 wait for the front end's start-up marker,
// 4 live restore page, 5 start the repair tool; any other number does nothing.
class AsyncTask : public QThread {
    Q_OBJECT
public:
    explicit AsyncTask(int taskType);

    void setDevicePath(const QString& path);
    void setSystemRootUUID(const QString& uuid);

    void initSystemRepairToolPage();
    bool GetPartitionCheckItemList(QList<PartitionCheckItem>& items, int bootMode,
                                   const QList<Utils::BlkIdInfo>& blkIdList);
    void initLiveRestorePageInfo();

signals:
    void fixPartitionSuccess();
    void fixPartitionFailed(QString error);
    void showSystemRestoreFinish();
    void getPartitionCheckItemFinish(QString itemListJson);
    void initLiveRestorePageFinish(QString data);
    void initSystemRepairToolPageFinish();
    void initSystemRepairToolPageFailed(QString error);

protected:
    void run() override;

private:
    void fixPartition();
    void buildPartitionCheckList();
    void waitForStartedFlag();
    bool ensureRootFstab();
    void markSystemPartitions(QList<PartitionCheckItem>& items);

    int taskType;
    QString devicePath;
    QString rootUUID;
    QString rootMountPath;
    QString recoveryUUID;
    QStringList sysUuidList;
    FSTabInfoList fstabList;
    bool rootMountedHere = false;
    bool stopWatching = false;
    int bootMode = -1;
};
