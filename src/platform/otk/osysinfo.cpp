#include "platform/otk/osysinfo.h"

#include <QFile>
#include <QSettings>

namespace Otk {
namespace Core {

namespace {
const char kOsVersionFile[] = "/etc/os-version";
}  // namespace

QString OSysInfo::majorVersion() {
    return readVersionKey(kOsVersionFile, "MajorVersion");
}

QString OSysInfo::minorVersion() {
    return readVersionKey(kOsVersionFile, "MinorVersion");
}

QString OSysInfo::buildVersion() {
    return readVersionKey(kOsVersionFile, "OsBuild");
}

QString OSysInfo::readVersionKey(const QString& file, const QString& key) {
    if (!QFile::exists(file)) {
        return {};
    }
    QSettings settings(file, QSettings::IniFormat);
    settings.beginGroup("Version");
    return settings.value(key).toString();
}

}  // namespace Core
}  // namespace Otk
