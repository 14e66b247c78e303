#include "platform/udisks/oblockdevice.h"

#include <QDBusArgument>

#include "platform/udisks/udisks2names.h"

namespace {

using namespace UDisks2Detail;

// Answers that only mean "this object has no file system".
const QStringList kNoFilesystem = {UDisks2::kErrorInvalidArgs, UDisks2::kErrorUnknownInterface,
                                   QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod")};

bool readInterface(const QString& path, const char* interface, OBlockProperties& props,
                   const QStringList& quietErrors = {}) {
    QDBusMessage reply;
    QString error;
    if (!call(getAllRequest(path, interface), "a{sv}", UDisks2::kDefaultTimeoutMs, reply, error,
              quietErrors)) {
        return false;
    }
    const QVariantMap values = qdbus_cast<QVariantMap>(reply.arguments().at(0));
    applyInterface(props, QString::fromLatin1(interface), values);
    return true;
}

// Both interfaces afresh; an object that fails the first is not asked again.
bool readProperties(const QString& path, OBlockProperties& props) {
    OBlockProperties fresh;
    if (!readInterface(path, UDisks2::kBlockInterface, fresh)) {
        return false;
    }
    readInterface(path, UDisks2::kFilesystemInterface, fresh, kNoFilesystem);
    props = fresh;
    return true;
}

}  // namespace

OBlockDevice::OBlockDevice(const QString& path, QObject* parent)
    : QObject(parent), m_path(path), m_snapshot(currentSnapshot()) {
    m_loaded = m_snapshot && m_snapshot->find(m_path, m_props);
}

QString OBlockDevice::path() const {
    return m_path;
}

QString OBlockDevice::idUUID() const {
    return properties().idUUID;
}

QString OBlockDevice::idType() const {
    return properties().idType;
}

QByteArray OBlockDevice::device() const {
    return properties().device;
}

QString OBlockDevice::drive() const {
    return properties().drive;
}

QByteArrayList OBlockDevice::mountPoints() const {
    return properties().mountPoints;
}

void OBlockDevice::setWatchChanges(bool watch) {
    m_watch = watch;
}

bool OBlockDevice::watchChanges() const {
    return m_watch;
}

QString OBlockDevice::mount(const QVariantMap& options) {
    QDBusMessage request = QDBusMessage::createMethodCall(
        UDisks2::kService, m_path, UDisks2::kFilesystemInterface, UDisks2::kMount);
    request << options;
    QDBusMessage reply;
    QString error;
    if (!call(request, "s", UDisks2::kMountTimeoutMs, reply, error)) {
        return error;  // "<error name>: <text>": never an absolute path
    }
    refresh();
    return reply.arguments().at(0).toString();
}

void OBlockDevice::unmount(const QVariantMap& options) {
    QDBusMessage request = QDBusMessage::createMethodCall(
        UDisks2::kService, m_path, UDisks2::kFilesystemInterface, UDisks2::kUnmount);
    request << options;
    QDBusMessage reply;
    QString error;
    if (call(request, "", UDisks2::kMountTimeoutMs, reply, error)) {
        refresh();
    }
}

const OBlockProperties& OBlockDevice::properties() const {
    if (!m_loaded) {
        // A path no listing knew: read once, whatever the answer, so a missing object
        // costs one call and one warning.
        m_loaded = true;
        readProperties(m_path, m_props);
    }
    return m_props;
}

void OBlockDevice::refresh() {
    m_loaded = true;
    if (readProperties(m_path, m_props) && m_snapshot) {
        m_snapshot->update(m_path, m_props);
    }
}
