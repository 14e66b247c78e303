#pragma once

#include <QByteArrayList>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class QDBusArgument;

// What the disk layer knows of one block device object.
struct OBlockProperties {
    QByteArray device;  // without trailing NUL bytes
    QString idUUID;
    QString idType;
    QString idLabel;
    QString drive;  // empty when the device has no drive
    QByteArrayList mountPoints;
    bool hasFilesystem = false;
};

namespace UDisks2Detail {

// Fills the fields of one interface ("org.freedesktop.UDisks2.Block" or ".Filesystem") from
// its property map; other interfaces are ignored.
void applyInterface(OBlockProperties& props, const QString& interface, const QVariantMap& values);

// The block devices of a GetManagedObjects answer (a{oa{sa{sv}}}), by object path.
QHash<QString, OBlockProperties> parseManagedObjects(const QDBusArgument& objects);

// The bus the layer talks to: the system bus (DBUS_SYSTEM_BUS_ADDRESS may redirect it).
QDBusConnection bus();

// The time that several calls share, such as those of one listing. Each waits at most what is
// left, and once one of them goes unanswered none follows: a service that has stopped
// answering costs the calls their limit once, not once each.
class CallDeadline {
public:
    explicit CallDeadline(int timeoutMs);
    // What the next call may wait: 0 once the time is spent or a call went unanswered.
    int remainingMs() const;
    void end() { m_ended = true; }
    bool ended() const { return m_ended; }

private:
    QDeadlineTimer m_timer;
    bool m_ended = false;
};

// Tests only, which cannot wait minutes for a hung service: no call waits longer than this
// many seconds (0 or less: no cap).
void capCallTimeouts(int seconds);

// A blocking call to the service. On an error answer, or an answer whose signature is not
// `signature`, fills `error` with the D-Bus error name and text, logs it as one warning
// unless the error name is among `quietErrors`, and returns false.
bool call(const QDBusMessage& request, const char* signature, int timeoutMs, QDBusMessage& reply,
          QString& error, const QStringList& quietErrors = {});
// The same within a shared deadline; a call the deadline leaves no time for is not made.
bool call(const QDBusMessage& request, const char* signature, CallDeadline& deadline,
          QDBusMessage& reply, QString& error, const QStringList& quietErrors = {});

// Properties.GetAll of one interface of an object.
QDBusMessage getAllRequest(const QString& path, const char* interface);

// Both interfaces of one object afresh; false (props untouched) when the object cannot be
// read, or the deadline ends before both are read. An object without a file system is no
// failure.
bool readProperties(const QString& path, OBlockProperties& props);
bool readProperties(const QString& path, OBlockProperties& props, CallDeadline& deadline);

}  // namespace UDisks2Detail
