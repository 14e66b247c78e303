#include "platform/udisks/oblockdevice.h"

#include <QDBusArgument>

#include "platform/udisks/udisks2names.h"

using UDisks2Detail::call;
using UDisks2Detail::readProperties;

OBlockDevice::OBlockDevice(const QString& path, QObject* parent) : QObject(parent), m_path(path) {}

OBlockDevice::OBlockDevice(const QString& path, const OBlockProperties& known, QObject* parent)
    : QObject(parent), m_path(path), m_loaded(true), m_props(known) {}

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
        // Read once, whatever the answer, so a missing object costs one call and one
        // warning.
        m_loaded = true;
        readProperties(m_path, m_props);
    }
    return m_props;
}

void OBlockDevice::refresh() {
    m_loaded = true;
    readProperties(m_path, m_props);
}
