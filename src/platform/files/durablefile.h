#pragma once

#include <QByteArray>
#include <QString>

// Changes to files that survive a power cut once the call has returned true. A rename or an
// unlink is on the disk only once the directory holding the name is synced too; each call here
// syncs what its change needs. On failure error holds the reason; a directory that could not
// be synced is named in it.

// Replaces path whole: the content goes to a new file beside it, which is synced, then renamed
// over path, then the directory is synced. A failure before the rename leaves the earlier file
// as it was and no new file behind; the new file takes the earlier one's permissions.
bool writeFileDurably(const QString& path, const QByteArray& content, QString& error);

// Syncs the file at path: its content and its own metadata.
bool syncFile(const QString& path, QString& error);

// Syncs the directory at path, so that the names made or removed in it are on the disk.
bool syncDirectory(const QString& path, QString& error);

// Removes the file at path, then syncs the directory that held it.
bool removeFileDurably(const QString& path, QString& error);
