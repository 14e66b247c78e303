#pragma once

// The figures that file systems without a driver on this machine keep in their own superblocks,
// read straight from the device, so that they do not come from the tool under test.

#include <QFile>
#include <QtEndian>

struct OwnFigures {
    bool ok = false;
    qint64 total = 0;
    qint64 free = 0;
    QString source;
};

namespace superblock {

inline QByteArray readAt(const QString& device, qint64 offset, int size) {
    QFile file(device);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset)) {
        return QByteArray();
    }
    return file.read(size);
}

template <typename T>
T le(const QByteArray& bytes, int offset) {
    return qFromLittleEndian<T>(bytes.constData() + offset);
}

// reiserfs 3.6: super block at 64 KiB; block count, free blocks, ... block size at 44.
inline OwnFigures reiserfs(const QString& device) {
    const QByteArray sb = readAt(device, 65536, 64);
    OwnFigures f;
    f.source = "superblock";
    if (sb.size() < 64 || !sb.mid(52, 9).startsWith("ReIsEr2Fs")) {
        return f;
    }
    const qint64 bs = le<quint16>(sb, 44);
    f.total = le<quint32>(sb, 0) * bs;
    f.free = le<quint32>(sb, 4) * bs;
    f.ok = true;
    return f;
}

// NILFS2: super block at 1 KiB; magic 0x3434 at 6, log2(block size) - 10 at 20, device size
// in bytes at 32, free blocks at 80.
inline OwnFigures nilfs2(const QString& device) {
    const QByteArray sb = readAt(device, 1024, 88);
    OwnFigures f;
    f.source = "superblock";
    if (sb.size() < 88 || le<quint16>(sb, 6) != 0x3434) {
        return f;
    }
    const qint64 bs = qint64(1) << (le<quint32>(sb, 20) + 10);
    f.total = qint64(le<quint64>(sb, 32));
    f.free = qint64(le<quint64>(sb, 80)) * bs;
    f.ok = true;
    return f;
}

// reiser4: master super block at 64 KiB ("ReIsEr4", block size at 18); the format40 super
// block in the block after it holds the block count and the free blocks.
inline OwnFigures reiser4(const QString& device) {
    const QByteArray master = readAt(device, 65536, 20);
    OwnFigures f;
    f.source = "superblock";
    if (master.size() < 20 || !master.startsWith("ReIsEr4")) {
        return f;
    }
    const qint64 bs = le<quint16>(master, 18);
    const QByteArray format = readAt(device, 65536 + bs, 16);
    if (bs <= 0 || format.size() < 16) {
        return f;
    }
    f.total = qint64(le<quint64>(format, 0)) * bs;
    f.free = qint64(le<quint64>(format, 8)) * bs;
    f.ok = true;
    return f;
}

}  // namespace superblock
