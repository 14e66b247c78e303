#pragma once

// Platform layer: reading the C strings that the kernel, programs and the disk service hand
// over. Every reader of outside text, in any layer, cuts it here.

#include <QByteArray>
#include <QString>

// Programs, the kernel and the disk service hand over C strings that may carry NUL padding or
// junk after the terminator: only what comes before the first NUL byte is meant.
QByteArray bytesUpToNul(const QByteArray& bytes);
// The same, read as UTF-8 text.
QString textUpToNul(const QByteArray& bytes);
