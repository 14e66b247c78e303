#include "fakebus.h"

#include <QFile>

namespace {

// A session-like bus that lets anyone own and call anything.
const char kConfig[] = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

const int kStartMs = 20000;

QString logPath(const QString& dir) {
    return dir + "/calls.log";
}

}  // namespace

FakeBus::FakeBus() = default;

FakeBus::~FakeBus() {
    stopService();
    if (m_daemon.state() != QProcess::NotRunning) {
        m_daemon.terminate();
        m_daemon.waitForFinished(5000);
    }
}

bool FakeBus::startBus() {
    QFile config(m_dir.path() + "/bus.conf");
    if (!config.open(QIODevice::WriteOnly)) {
        m_error = "cannot write the bus configuration";
        return false;
    }
    config.write(QString::fromLatin1(kConfig).arg(m_dir.path()).toUtf8());
    config.close();
    m_daemon.start("dbus-daemon", {"--config-file=" + config.fileName(), "--nofork", "--nopidfile",
                                   "--print-address=1"});
    if (!m_daemon.waitForStarted(kStartMs)) {
        m_error = "dbus-daemon: " + m_daemon.errorString();
        return false;
    }
    while (!m_daemon.canReadLine() && m_daemon.waitForReadyRead(kStartMs)) {
    }
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    if (m_address.isEmpty()) {
        m_error = "dbus-daemon printed no address: " + m_daemon.readAllStandardError();
    }
    return !m_address.isEmpty();
}

bool FakeBus::startService(const QStringList& args) {
    stopService();
    const QString script = QStringLiteral(TESTS_DIR "/machine/fake_udisks2.py");
    m_service.setProcessChannelMode(QProcess::SeparateChannels);
    m_service.start("/usr/bin/python3",
                    QStringList{script, "--address", m_address, "--no-real-mount", "--log",
                                logPath(m_dir.path())} +
                        args);
    while (!m_service.canReadLine() && m_service.waitForReadyRead(kStartMs)) {
    }
    if (m_service.readLine().trimmed() != "READY") {
        m_error = "the fake udisks2 service did not start: " + m_service.readAllStandardError();
        return false;
    }
    return true;
}

void FakeBus::stopService() {
    if (m_service.state() != QProcess::NotRunning) {
        m_service.terminate();
        if (!m_service.waitForFinished(5000)) {
            m_service.kill();
            m_service.waitForFinished(5000);
        }
    }
}

QStringList FakeBus::calls() const {
    QFile log(logPath(m_dir.path()));
    if (!log.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts);
}

void FakeBus::clearCalls() {
    QFile log(logPath(m_dir.path()));
    log.open(QIODevice::WriteOnly | QIODevice::Truncate);
}
