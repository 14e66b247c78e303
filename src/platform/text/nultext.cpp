#include "platform/text/nultext.h"

QByteArray bytesUpToNul(const QByteArray& bytes) {
    const int nul = bytes.indexOf('\0');
    return nul < 0 ? bytes : bytes.left(nul);
}

QString textUpToNul(const QByteArray& bytes) {
    return QString::fromUtf8(bytesUpToNul(bytes));
}
