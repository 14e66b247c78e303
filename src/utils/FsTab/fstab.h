#pragma once

#include <QList>
#include <QMap>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

// One line of an fstab file, comments and blank lines included.
struct FSTabInfo {
    bool isComment = false;
    bool isEmptyLine = false;
    QString device;
    QString mountPoint;
    QString type;
    QString options;
    QString dump = "0";
    QString pass = "0";
    QString line;
};

using FSTabInfoPtr = QSharedPointer<FSTabInfo>;
using FSTabInfoList = QList<FSTabInfoPtr>;

class FSTab {
public:
    virtual ~FSTab() = default;

    static FSTabInfoList getFSTabFromFile(const QString& fileName);
    // Pure reader of an fstab text; getFSTabFromFile feeds it the file's bytes.
    static FSTabInfoList parseFSTab(const QByteArray& content);
    static QString getUUID(const FSTabInfoPtr& info);
    static FSTabInfoPtr findByUUID(const FSTabInfoList& list, const QString& uuid);
    static FSTabInfoPtr findByMountPoint(const FSTabInfoList& list, const QString& mountPoint);
    static bool containsUUID(const QString& uuid, const FSTabInfoList& list);
    static QStringList getUUIDList(const FSTabInfoList& list);
    static void getBindMap(const FSTabInfoList& list, QMap<QString, QString>& bindMap);
    static bool isRootUUID(const QString& uuid, const QString& rootDir);
};
