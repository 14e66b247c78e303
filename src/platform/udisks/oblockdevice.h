#pragma once

#include <QByteArrayList>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include "platform/udisks/udisks2detail.h"

// One udisks2 block device. Made from a listing (ODiskManager::listBlockDevices) it starts
// with the properties the listing read; made from a path alone it reads them on first use.
// Either way it reads them afresh after its own mount or unmount.
class OBlockDevice : public QObject {
    Q_OBJECT
public:
    explicit OBlockDevice(const QString& path, QObject* parent = nullptr);
    OBlockDevice(const QString& path, const OBlockProperties& known, QObject* parent = nullptr);

    QString path() const;
    QString idUUID() const;
    QString idType() const;
    QByteArray device() const;           // the device node, trailing NUL bytes already removed
    QString drive() const;               // object path of the drive; empty when there is none
    QByteArrayList mountPoints() const;  // each cut at its first NUL byte
    const OBlockProperties& properties() const;

    // Kept for callers: the mount points already follow the device's own mount and
    // unmount, and changes made by others show in the next listing, so watching costs
    // no extra round trip.
    void setWatchChanges(bool watch);
    bool watchChanges() const;

    // Mount path on success; on failure an error text, never a usable path.
    QString mount(const QVariantMap& options);
    void unmount(const QVariantMap& options);

private:
    void refresh();

    QString m_path;
    bool m_watch = false;
    mutable bool m_loaded = false;
    mutable OBlockProperties m_props;
};
