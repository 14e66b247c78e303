// ReadUsage against real file systems: each family is made with its own mkfs on a sparse image
// attached to a loop device, and what ReadUsage reports is set against the file system's own
// figures: statvfs where it can be mounted here (in a private mount namespace, with the kernel
// driver or FUSE), otherwise its superblock or its checker. Each family states how far the two
// may lie apart and why. At the end the figures are printed as a table.
//
// Needs root and loop devices; a family whose tools or driver are missing skips with the reason.

#include <unistd.h>

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtTest>

#include "superblocks.h"
#include "utils/core/partitionusage/partitionusage.h"

namespace {

const qint64 MiB = 1024 * 1024;

enum class Source { Mounted, ReiserfsSuperblock, Nilfs2Superblock, Reiser4Superblock, JfsFsck };

// ReadUsage minus the file system's own figure must lie in [min, max].
struct Window {
    qint64 min = 0;
    qint64 max = 0;
};

struct Family {
    QString name;
    FsType type;
    int mib;
    QStringList mkfs;  // the device is appended
    Source source;
    QString kernelType;  // mounted by the kernel with this type, or
    QStringList fuseRo;  // by this FUSE program (and options) read-only,
    QStringList fuseRw;  // and read-write to write some files first
    QStringList roOptions;
    Window total;
    Window free;
    QString why;
};

QList<Family> families() {
    const auto exact = Window{0, 0};
    auto share = [](int mib, double fraction) { return qint64(mib * MiB * fraction); };
    QList<Family> list;
    for (const QString ext : {"ext2", "ext3", "ext4"}) {
        list << Family{ext,
                       GetFsTypeByName(ext),
                       64,
                       {"mkfs." + ext, "-q", "-F"},
                       Source::Mounted,
                       ext,
                       {},
                       {},
                       {"ro", "minixdf"},
                       exact,
                       exact,
                       "same counters: mounted with minixdf, statvfs counts the metadata blocks "
                       "as dumpe2fs's block count does"};
    }
    list << Family{"xfs",
                   Xfs,
                   300,
                   {"mkfs.xfs", "-q", "-f"},
                   Source::Mounted,
                   "xfs",
                   {},
                   {},
                   {"ro"},
                   {0, 64 * MiB},
                   {0, MiB},
                   "total: statvfs leaves out the internal log (64 MiB at this size); free: "
                   "the kernel sets aside a few blocks per allocation group (32 here)"};
    list << Family{"btrfs",
                   Btrfs,
                   256,
                   {"mkfs.btrfs", "-q", "-f"},
                   Source::Mounted,
                   "btrfs",
                   {},
                   {},
                   {"ro"},
                   exact,
                   {0, share(256, 0.5)},
                   "free: ReadUsage takes size minus the bytes of data and metadata in use; "
                   "statvfs also leaves out chunks allocated but unused and the second copy "
                   "of metadata (DUP)"};
    for (const auto& fat :
         {qMakePair(QString("vfat"), 64), qMakePair(QString("vfat-fat32"), 128)}) {
        QStringList mkfs = {"mkfs.vfat"};
        if (fat.first.endsWith("fat32")) {
            // 1 KiB clusters: fusefat's statvfs reads 0 blocks with 512-byte ones.
            mkfs << "-F"
                 << "32"
                 << "-s"
                 << "2";
        }
        list << Family{fat.first,
                       Vfat,
                       fat.second,
                       mkfs,
                       Source::Mounted,
                       {},
                       {"fusefat", "-o", "ro"},
                       {"fusefat", "-o", "rw+"},
                       {},
                       exact,
                       {-share(fat.second, 0.02), 0},
                       "free: ReadUsage subtracts the offset where the data area starts "
                       "(reserved sectors, FATs, root directory), statvfs counts free clusters "
                       "only"};
    }
    list << Family{"ntfs",
                   Ntfs,
                   64,
                   {"mkfs.ntfs", "-q", "-f"},
                   Source::Mounted,
                   {},
                   {"ntfs-3g", "-o", "ro"},
                   {"ntfs-3g"},
                   {},
                   exact,
                   exact,
                   "same counters: clusters of the volume and free clusters"};
    list << Family{"reiserfs",
                   Reiserfs,
                   64,
                   {"mkfs.reiserfs", "-q", "-f"},
                   Source::ReiserfsSuperblock,
                   {},
                   {},
                   {},
                   {},
                   exact,
                   exact,
                   "no driver here: the superblock's block count and free blocks"};
    list << Family{"jfs",
                   Jfs,
                   64,
                   {"mkfs.jfs", "-q"},
                   Source::JfsFsck,
                   {},
                   {},
                   {},
                   {},
                   {-share(64, 0.03), 0},
                   exact,
                   "no driver here: jfs_fsck's count; total: the block map that ReadUsage reads "
                   "leaves out the in-line log and the fsck work area at the end"};
    list << Family{"nilfs2",
                   Nilfs2,
                   160,
                   {"mkfs.nilfs2", "-q", "-f"},
                   Source::Nilfs2Superblock,
                   {},
                   {},
                   {},
                   {},
                   exact,
                   exact,
                   "no driver here: the superblock's device size and free blocks"};
    list << Family{"reiser4",
                   Reiser4,
                   64,
                   {"mkfs.reiser4", "-y", "-f"},
                   Source::Reiser4Superblock,
                   {},
                   {},
                   {},
                   {},
                   exact,
                   exact,
                   "no driver here: the format super block's block count and free blocks"};
    return list;
}

Family familyNamed(const QString& name) {
    for (const Family& f : families()) {
        if (f.name == name) {
            return f;
        }
    }
    qFatal("no family %s", qPrintable(name));
}

struct Run {
    bool ok = false;
    int exitCode = -1;
    QString out;
    QString err;
};

Run run(const QString& program, const QStringList& args) {
    QProcess process;
    process.start(program, args);
    Run r;
    if (!process.waitForStarted(-1)) {
        r.err = process.errorString();
        return r;
    }
    process.closeWriteChannel();
    process.waitForFinished(-1);
    r.exitCode = process.exitCode();
    r.ok = process.exitStatus() == QProcess::NormalExit && r.exitCode == 0;
    r.out = QString::fromUtf8(process.readAllStandardOutput());
    r.err = QString::fromUtf8(process.readAllStandardError());
    return r;
}

bool have(const QString& program) {
    return !QStandardPaths::findExecutable(program).isEmpty() ||
           !QStandardPaths::findExecutable(program, {"/usr/sbin", "/sbin"}).isEmpty();
}

// A sparse image file, removed with its directory.
class Image {
public:
    explicit Image(int mib) : m_path(m_dir.filePath("fs.img")) {
        QFile file(m_path);
        m_ok = m_dir.isValid() && file.open(QIODevice::WriteOnly) && file.resize(mib * MiB);
    }
    bool ok() const { return m_ok; }
    QString path() const { return m_path; }
    QString scratch(const QString& name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir{"/tmp/orvik-realfs.XXXXXX"};
    QString m_path;
    bool m_ok = false;
};

// The image on a loop device, detached when it goes, however the test ends.
class Loop {
public:
    explicit Loop(const Image& image) {
        const Run r = run("losetup", {"--find", "--show", image.path()});
        m_error = r.err;
        if (r.ok) {
            m_device = r.out.trimmed();
        }
    }
    ~Loop() {
        if (!m_device.isEmpty()) {
            run("losetup", {"-d", m_device});
        }
    }
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;
    QString device() const { return m_device; }
    QString error() const { return m_error; }

private:
    QString m_device;
    QString m_error;
};

// Mounts in a private mount namespace, optionally writes files, reads statvfs, unmounts.
Run inNamespace(const Image& image, const QStringList& mount, int fillMiB) {
    QStringList args = {"-m",
                        "--propagation",
                        "private",
                        REALFS_DIR "/mounted-figures.sh",
                        image.scratch("mnt"),
                        QString::number(fillMiB)};
    return run("unshare", args + mount);
}

QStringList mountCommand(const Family& f, const QString& device, bool readOnly) {
    if (!f.kernelType.isEmpty()) {
        QStringList cmd = {"mount", "-t", f.kernelType};
        if (readOnly) {
            cmd << "-o" << f.roOptions.join(',');
        }
        return cmd << device;
    }
    return (readOnly ? f.fuseRo : f.fuseRw) + QStringList{device};
}

OwnFigures statvfsFigures(const Run& r) {
    OwnFigures f;
    f.source = "statvfs";
    const QStringList parts = r.out.trimmed().split(' ');
    if (r.ok && parts.size() == 3) {
        f.total = parts[0].toLongLong() * parts[1].toLongLong();
        f.free = parts[0].toLongLong() * parts[2].toLongLong();
        f.ok = f.total > 0;
    }
    return f;
}

OwnFigures jfsFsckFigures(const QString& device) {
    OwnFigures f;
    f.source = "jfs_fsck";
    const Run r = run("jfs_fsck", {"-n", "-v", device});
    auto number = [&](const QString& key) {
        const QRegularExpression re("^" + QRegularExpression::escape(key) + "\\s+(\\d+)$",
                                    QRegularExpression::MultilineOption);
        return re.match(r.out).captured(1).toLongLong();
    };
    const qint64 bs = number("Block size in bytes:");
    f.total = number("Block count:") * bs;
    f.free = number("Free block count:") * bs;
    f.ok = r.ok && f.total > 0;
    return f;
}

}  // namespace

class RealFsUsageTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void usage_data();
    void usage();
    void mountedExtNotBelowKernel_data();
    void mountedExtNotBelowKernel();
    void cleanupTestCase();

private:
    QList<QStringList> m_table;
};

void RealFsUsageTest::initTestCase() {
    // The mkfs tools and checkers live in sbin, which a normal PATH may lack.
    qputenv("PATH", qgetenv("PATH") + ":/usr/sbin:/sbin");
    if (getuid() != 0) {
        QSKIP("needs root: loop devices and mounts");
    }
    if (!QFileInfo::exists("/dev/loop-control") || !have("losetup")) {
        QSKIP("no loop devices here (/dev/loop-control or losetup missing)");
    }
}

void RealFsUsageTest::usage_data() {
    QTest::addColumn<QString>("family");
    for (const Family& f : families()) {
        QTest::newRow(qPrintable(f.name)) << f.name;
    }
}

void RealFsUsageTest::usage() {
    QFETCH(QString, family);
    const Family f = familyNamed(family);
    if (!have(f.mkfs.first())) {
        QSKIP(qPrintable(f.mkfs.first() + " is not installed"));
    }
    const bool mounted = f.source == Source::Mounted;
    if (mounted && !f.kernelType.isEmpty() &&
        !ReadFile("/proc/filesystems").contains(f.kernelType)) {
        QSKIP(qPrintable("the kernel here has no " + f.kernelType + " driver"));
    }
    if (mounted && f.kernelType.isEmpty() &&
        (!have(f.fuseRo.first()) || !QFileInfo::exists("/dev/fuse"))) {
        QSKIP(qPrintable(f.fuseRo.first() + " or /dev/fuse is missing"));
    }
    if (f.source == Source::JfsFsck && !have("jfs_fsck")) {
        QSKIP("jfs_fsck is not installed");
    }

    Image image(f.mib);
    QVERIFY2(image.ok(), "cannot make the image file");
    Loop loop(image);
    if (loop.device().isEmpty()) {
        QSKIP(qPrintable("no loop device could be attached: " + loop.error()));
    }
    const Run mkfs = run(f.mkfs.first(), f.mkfs.mid(1) << loop.device());
    QVERIFY2(mkfs.ok, qPrintable(mkfs.err));

    if (mounted) {
        const Run fill = inNamespace(image, mountCommand(f, loop.device(), false), 6);
        QVERIFY2(fill.ok, qPrintable("writing files failed: " + fill.err));
    }

    qint64 freespace = 0;
    qint64 total = 0;
    QVERIFY(ReadUsage(loop.device(), f.type, freespace, total));

    OwnFigures own;
    switch (f.source) {
        case Source::Mounted:
            own = statvfsFigures(inNamespace(image, mountCommand(f, loop.device(), true), 0));
            break;
        case Source::ReiserfsSuperblock:
            own = superblock::reiserfs(loop.device());
            break;
        case Source::Nilfs2Superblock:
            own = superblock::nilfs2(loop.device());
            break;
        case Source::Reiser4Superblock:
            own = superblock::reiser4(loop.device());
            break;
        case Source::JfsFsck:
            own = jfsFsckFigures(loop.device());
            break;
    }
    QVERIFY2(own.ok,
             qPrintable("the file system's own figures could not be read (" + own.source + ")"));

    m_table << QStringList{f.name,
                           QString::number(f.mib),
                           QString::number(total),
                           QString::number(freespace),
                           QString::number(own.total),
                           QString::number(own.free),
                           own.source};

    const qint64 dTotal = total - own.total;
    const qint64 dFree = freespace - own.free;
    const QString detail = QString("ReadUsage total %1 free %2, %3 total %4 free %5; %6")
                               .arg(total)
                               .arg(freespace)
                               .arg(own.source)
                               .arg(own.total)
                               .arg(own.free)
                               .arg(f.why);
    QVERIFY2(dTotal >= f.total.min && dTotal <= f.total.max, qPrintable(detail));
    QVERIFY2(dFree >= f.free.min && dFree <= f.free.max, qPrintable(detail));
}

void RealFsUsageTest::mountedExtNotBelowKernel_data() {
    QTest::addColumn<QString>("family");
    for (const QString ext : {"ext2", "ext3", "ext4"}) {
        QTest::newRow(qPrintable(ext)) << ext;
    }
}

// A mounted ext file system's superblock counters stay as of mount time; what ReadUsage
// reports while it is mounted, with 24 MiB written since, is never below the kernel's figure.
void RealFsUsageTest::mountedExtNotBelowKernel() {
    QFETCH(QString, family);
    const Family f = familyNamed(family);
    if (!have(f.mkfs.first())) {
        QSKIP(qPrintable(f.mkfs.first() + " is not installed"));
    }
    if (!ReadFile("/proc/filesystems").contains(f.kernelType)) {
        QSKIP(qPrintable("the kernel here has no " + f.kernelType + " driver"));
    }
    Image image(f.mib);
    QVERIFY2(image.ok(), "cannot make the image file");
    Loop loop(image);
    if (loop.device().isEmpty()) {
        QSKIP(qPrintable("no loop device could be attached: " + loop.error()));
    }
    QVERIFY2(run(f.mkfs.first(), f.mkfs.mid(1) << loop.device()).ok, "mkfs failed");

    qputenv(
        "REALFS_PROBE",
        QString("%1 %2 %3").arg(USAGE_PROBE, loop.device(), QString::number(f.type)).toLocal8Bit());
    const Run r = inNamespace(image, mountCommand(f, loop.device(), false), 24);
    qunsetenv("REALFS_PROBE");
    QVERIFY2(r.ok, qPrintable(r.err));
    const QStringList lines = r.out.trimmed().split('\n');
    QCOMPARE(lines.size(), 2);
    const OwnFigures kernel = statvfsFigures(Run{true, 0, lines[0], {}});
    const QStringList probe = lines[1].split(' ');  // "<ok> <freespace> <total>"
    QVERIFY(kernel.ok && probe.size() == 3 && probe[0] == "1");
    const qint64 kernelUsed = kernel.total - kernel.free;
    const qint64 readUsed = probe[2].toLongLong() - probe[1].toLongLong();
    QVERIFY2(
        kernelUsed >= 24 * MiB && readUsed >= kernelUsed,
        qPrintable(QString("ReadUsage used %1, statvfs used %2").arg(readUsed).arg(kernelUsed)));
}

void RealFsUsageTest::cleanupTestCase() {
    QTextStream out(stdout);
    const QString format = "%1 | %2 | %3 | %4 | %5 | %6 | %7\n";
    out << "\nfamily | image MiB | ReadUsage total | ReadUsage free | own total | own free | "
           "own figures from\n";
    for (const QStringList& row : m_table) {
        out << QString(format).arg(row[0], row[1], row[2], row[3], row[4], row[5], row[6]);
    }
    out << "(bytes)\n";
}

QTEST_GUILESS_MAIN(RealFsUsageTest)
#include "tst_realfs_usage.moc"
