#pragma once

#include <QString>

namespace Otk {
namespace Core {

// The running system's version, from "/etc/os-version" (INI, group "Version").
// A missing file or key gives an empty text.
class OSysInfo {
public:
    static QString majorVersion();
    static QString minorVersion();
    static QString buildVersion();

    // One key of the group "Version" of an INI file; empty when the file or the key is missing.
    static QString readVersionKey(const QString& file, const QString& key);
};

}  // namespace Core
}  // namespace Otk
