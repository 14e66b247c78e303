#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A private dbus-daemon with the fake udisks2 service of the simulated machine
// (tests/machine/fake_udisks2.py) in its "no real mount" mode: mounts are only recorded.
class FakeBus {
public:
    FakeBus();
    ~FakeBus();

    // Starts the daemon; its address is then address(). False (with error()) on failure.
    bool startBus();
    // (Re)starts the service with extra arguments such as {"--scenario", "plain"} or
    // {"--generate", "500"}, and waits until it owns its name.
    bool startService(const QStringList& args);
    void stopService();

    QString address() const { return m_address; }
    QString error() const { return m_error; }
    QString dir() const { return m_dir.path(); }

    // The calls the service logged since the last clearCalls().
    QStringList calls() const;
    void clearCalls();

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QProcess m_service;
    QString m_address;
    QString m_error;
};
