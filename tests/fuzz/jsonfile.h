#pragma once

// The JSON readers take a path: each input is written to one scratch file per process.

#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <cstdlib>

namespace fuzz {

inline const QString& scratchJsonPath() {
    static const QString path = [] {
        const QString p =
            QDir::tempPath() + QString("/orvik-fuzz-%1.json").arg(static_cast<qint64>(getpid()));
        std::atexit([] { QFile::remove(scratchJsonPath()); });
        return p;
    }();
    return path;
}

inline bool writeScratch(const QByteArray& content) {
    QFile file(scratchJsonPath());
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

}  // namespace fuzz
