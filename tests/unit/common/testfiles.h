#pragma once

// Files of the unit tests: captured fixtures under tests/fixtures and scratch files the tests
// write themselves.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

// Writes content to path, making its folder first; executable makes it a program only its
// owner may run. False when anything fails.
inline bool writeFile(const QString& path, const QByteArray& content, bool executable = false) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(content) != content.size()) {
        return false;
    }
    file.close();
    return !executable ||
           file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// The whole of a file; empty when it cannot be read.
inline QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// relative is below tests/fixtures, e.g. "device/lsblk-real-host.txt".
inline QString fixturePath(const QString& relative) {
    return QStringLiteral(FIXTURES_DIR "/") + relative;
}

// A missing fixture is a broken checkout, not a test result: stop at once.
inline QString readFixture(const QString& relative) {
    QFile file(fixturePath(relative));
    if (!file.open(QIODevice::ReadOnly)) {
        qFatal("missing fixture %s", qPrintable(file.fileName()));
    }
    return QString::fromUtf8(file.readAll());
}
