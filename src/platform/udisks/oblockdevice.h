#pragma once

#include <QByteArrayList>
#include <QObject>
#include <QString>
#include <QVariantMap>

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
    QByteArray device() const;  // may end in NUL bytes, as the service sends it
    QString drive() const;      // object path of the drive
    QByteArrayList mountPoints() const;  // each cut at its first NUL byte

    void setWatchChanges(bool watch);
    bool watchChanges() const;

    // Mount path on success; on failure an error text, never a usable path.
    QString mount(const QVariantMap& options);
    void unmount(const QVariantMap& options);

private:
    QVariantMap blockProperty() const;
    QString m_path;
    bool m_watch = false;
};
