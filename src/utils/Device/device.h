#pragma once

#include <QList>
#include <QPair>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QWeakPointer>

#include "utils/FsTab/fstab.h"

struct DeviceInfo;
using DeviceInfoPtr = QSharedPointer<DeviceInfo>;
using DeviceInfoList = QList<DeviceInfoPtr>;

// One block device as lsblk reports it. Texts keep lsblk's \xNN escapes.
struct DeviceInfo {
    QString devicePath;
    QString name;
    QString kname;
    QString pkname;
    QString path;
    QString mapperName;
    QString uuid;
    QString label;
    QString partUuid;
    QString partLabel;
    QString type;
    QString fsType;
    qint64 size = 0;
    quint64 fsUsed = 0;
    quint64 fsAvail = 0;
    quint64 logicalSectorSize = 0;
    quint64 physicalSectorSize = 0;
    QString fsUsePercent;
    QString mountPoint;
    QString model;
    QString majMin;
    int major = -1;
    int minor = -1;
    int rotational = -1;
    bool readOnly = false;
    bool hotplug = false;
    QString vendor;
    QString serial;
    QString revision;
    QString byUuidPath;
    QString byLabelPath;
    QString byPartUuidPath;
    QString byPartLabelPath;
    QString mapperPath;
    // Non-owning: every parent is also held by its category list while links are read.
    QWeakPointer<DeviceInfo> parent;
    DeviceInfoList children;
};

// One "name: ... (dependency)" line of dmsetup deps: the mapper name and the kernel name
// of the (last listed) device it depends on.
struct DmDependency {
    QString mapperName;
    QString dependency;
};

// One usable line of df -T -B1.
struct DfLine {
    QString source;
    qint64 size = 0;
    qint64 used = 0;
    qint64 avail = 0;
    QString usePercent;
};

class Device {
public:
    Device() = default;
    explicit Device(const QString& identifier);
    virtual ~Device() = default;

    // Inventory.
    static QString runLsblk();
    static DeviceInfoList parseLsblkOutput(const QString& output);
    static DeviceInfoList createDeviceList();
    static void updateDmDependencies(DeviceInfoList& list);
    static QList<DmDependency> parseDmDeps(const QString& output);
    static DeviceInfoList getDeviceList();
    // Loop devices are never returned; an empty identifier names no device.
    static DeviceInfoPtr lookupDevice(const QString& identifier);
    static void updateUsageFromDf();
    static QList<DfLine> parseDfOutput(const QString& output);
    // The parts of createDeviceList, so an inventory can be built against another mapper
    // directory: the links of a directory as (absolute entry path, absolute link target) pairs
    // in directory order, and their application to a list (a later link to a device wins).
    static DeviceInfoList createDeviceList(const QString& mapperDir);
    static QList<QPair<QString, QString>> readMapperLinks(
        const QString& mapperDir = QStringLiteral("/dev/mapper/"));
    static void applyMapperLinks(DeviceInfoList& list, const QList<QPair<QString, QString>>& links);
    static void applyDmDependencies(DeviceInfoList& list, const QList<DmDependency>& deps);

    // Relations.
    static void classifyDevices(DeviceInfoList& disks, DeviceInfoList& luksDevices,
                                DeviceInfoList& lvmPhysicalParts, DeviceInfoList& plainParts,
                                DeviceInfoList& logicalVolumes, DeviceInfoList& cryptVolumes);
    static DeviceInfoList linkDeviceTree(DeviceInfoList& disks, DeviceInfoList& luksDevices,
                                         DeviceInfoList& lvmPhysicalParts,
                                         DeviceInfoList& plainParts, DeviceInfoList& logicalVolumes,
                                         DeviceInfoList& cryptVolumes);
    static bool isLvm(const QStringList& uuids, bool& isEncrypted, bool& isFileManagerEncrypted);
    static QStringList getSystemDiskNames(const QString& fstabFile);
    static bool isEncryptedLvmOnMultipleDisks(const QString& fstabFile);
    // The same questions over a given inventory and fstab, without the process-wide copies.
    static void classifyDeviceList(const DeviceInfoList& inventory, DeviceInfoList& disks,
                                   DeviceInfoList& luksDevices, DeviceInfoList& lvmPhysicalParts,
                                   DeviceInfoList& plainParts, DeviceInfoList& logicalVolumes,
                                   DeviceInfoList& cryptVolumes);
    static bool isLvmOnList(const DeviceInfoList& inventory, const QStringList& uuids,
                            bool& isEncrypted, bool& isFileManagerEncrypted);
    static QStringList systemDiskNamesOnList(const DeviceInfoList& inventory,
                                             const QStringList& fstabUuids);
    static bool encryptedLvmOnMultipleDisksOnList(const DeviceInfoList& inventory,
                                                  const FSTabInfoList& fstab);

    // Mount points.
    static bool getAllMediaMountPoint(QStringList& mountPoints);
    static bool getMountPointByUUID(const QString& uuid, QString& mountPoint);
    static bool isBindSourceOnUUIDMount(const QString& fstabFile, QStringList& uuidMountPoints);
    // isBindSourceOnUUIDMount over a given fstab, without the process-wide copy.
    static bool bindSourceOnUUIDMount(const FSTabInfoList& fstab, QStringList& uuidMountPoints);
    bool mount(const QString& mountPoint);
    bool umount();

    void setDevice(const QString& identifier);
    DeviceInfoPtr getDeviceInfo() const { return m_info; }

private:
    DeviceInfoPtr m_info;
};
