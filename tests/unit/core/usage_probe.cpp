// Prints what ReadUsage reports for a path and a numeric FsType: "<ok> <freespace> <total>".
// The swap test runs it in a private mount namespace where /proc/swaps is a fixture.

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>

#include "utils/core/partitionusage/partitionusage.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <path> <fstype number>\n", argv[0]);
        return 2;
    }
    qint64 freespace = 0;
    qint64 total = 0;
    const bool ok = ReadUsage(QString::fromLocal8Bit(argv[1]),
                              static_cast<FsType>(std::atoi(argv[2])), freespace, total);
    std::printf("%d %lld %lld\n", ok ? 1 : 0, static_cast<long long>(freespace),
                static_cast<long long>(total));
    return 0;
}
