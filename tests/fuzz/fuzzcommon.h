#pragma once

// Shared by every fuzz target: turning the fuzzer's bytes into the texts the parsers get.

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <cstddef>
#include <cstdint>

namespace fuzz {

// Parsers log what they reject; at fuzzing speed that is only noise. Fatal messages still
// abort after the handler returns, which the fuzzer reports as a crash.
inline void silenceLog() {
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
}

inline QByteArray bytes(const uint8_t* data, size_t size) {
    return QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size));
}

// A program's output as the command runner hands it on: UTF-8 up to the first NUL byte.
inline QString commandText(const uint8_t* data, size_t size) {
    const QByteArray raw = bytes(data, size);
    const int nul = raw.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? raw : raw.left(nul));
}

// A file's content as the readers decode it: UTF-8, NUL bytes kept.
inline QString fileText(const uint8_t* data, size_t size) {
    return QString::fromUtf8(bytes(data, size));
}

// Inputs shaped "argument\nprogram output": the first line is what the caller asks about
// (a path, a key), the rest is the text to search.
inline void splitFirstLine(const QString& all, QString& first, QString& rest) {
    const int newline = all.indexOf('\n');
    first = newline < 0 ? all : all.left(newline);
    rest = newline < 0 ? QString() : all.mid(newline + 1);
}

}  // namespace fuzz

// Every target silences the log once, before the first input.
#define ORVIK_FUZZ_INIT                                  \
    extern "C" int LLVMFuzzerInitialize(int*, char***) { \
        fuzz::silenceLog();                              \
        return 0;                                        \
    }
