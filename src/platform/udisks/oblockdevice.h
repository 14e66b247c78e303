#pragma once

#include <QByteArrayList>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include "platform/udisks/udisks2snapshot.h"

// One udisks2 block device. Properties come from the snapshot of the latest listing
// (ODiskManager::blockDevices); a device reads its own properties afresh only after its
// own mount or unmount, or when no listing knew it.
class OBlockDevice : public QObject {
    Q_OBJECT
public:
    explicit OBlockDevice(const QString& path, QObject* parent = nullptr);

    QString path() const;
    QString idUUID() const;
    QString idType() const;
    QByteArray device() const;           // the device node, trailing NUL bytes already removed
    QString drive() const;               // object path of the drive; empty when there is none
    QByteArrayList mountPoints() const;  // each cut at its first NUL byte

    // Kept for callers: the mount points already follow the device's own mount and
    // unmount, and changes made by others show in the next listing, so watching costs
    // no extra round trip.
    void setWatchChanges(bool watch);
    bool watchChanges() const;

    // Mount path on success; on failure an error text, never a usable path.
    QString mount(const QVariantMap& options);
    void unmount(const QVariantMap& options);

private:
    const OBlockProperties& properties() const;
    void refresh();

    QString m_path;
    bool m_watch = false;
    UDisks2Detail::SnapshotPtr m_snapshot;
    mutable bool m_loaded = false;
    mutable OBlockProperties m_props;
};
