// The queries of the disk value over one captured listing (tests/fixtures/disks): the front
// end and the recovery utilities ask only these, so they are tested here once.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>
#include <functional>

#include "platform/udisks/disks.h"

namespace {

const QString kBoot = "4f1c2a5e-0b7d-4e51-9a43-1d2e3f4a5b61";
const QString kRoot = "9d3b6e2f-5a41-4c8e-b7d2-6a0f1e2c3d42";
const QString kData = "2e7a9c41-8b3d-4f6a-a1e5-c4d3b2a19f83";
const QString kRecovery = "7b5c1d93-2f4e-4a8b-9c6d-e1f2a3b4c5d6";
const QString kLogical = "a1b2c3d4-e5f6-4789-9abc-def012345678";
const QString kUserData = "6c5b4a39-2817-4f06-b5e4-d3c2b1a09f8e";
const QString kUnmounted = "f0e1d2c3-b4a5-4968-8776-655443322110";
const QString kDisk1 = "/org/freedesktop/UDisks2/drives/disk1";

QStringList strings(const QJsonValue& value) {
    QStringList list;
    for (const QJsonValue& item : value.toArray()) {
        list << item.toString();
    }
    return list;
}

Disks loadListing() {
    QFile file(FIXTURES_DIR "/disks/listing.json");
    if (!file.open(QIODevice::ReadOnly)) {
        qFatal("cannot read %s", qPrintable(file.fileName()));
    }
    const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    QList<ListedDevice> devices;
    for (const QJsonValue& value : root.value("devices").toArray()) {
        const QJsonObject d = value.toObject();
        devices << ListedDevice{d.value("path").toString(),  d.value("uuid").toString(),
                                d.value("type").toString(),  d.value("node").toString(),
                                d.value("drive").toString(), strings(d.value("mounts")),
                                d.value("label").toString()};
    }
    QByteArray mountinfo;
    for (const QString& line : strings(root.value("mountinfo"))) {
        mountinfo += line.toUtf8() + '\n';
    }
    return Disks(devices, parseMountTable(mountinfo));
}

QString nodeOf(const ListedDevice* device) {
    return device ? device->node : QStringLiteral("none");
}

// Each query answers with text: a device by its node ("none" for no device), else the text.
const QMap<QString, std::function<QString(const Disks&, const QString&)>> kQueries = {
    {"byUuid", [](const Disks& d, const QString& a) { return nodeOf(d.byUuid(a)); }},
    {"mountedAt", [](const Disks& d, const QString& a) { return nodeOf(d.mountedAt(a)); }},
    {"uuidMountedAt", [](const Disks& d, const QString& a) { return d.uuidMountedAt(a); }},
    {"driveOf", [](const Disks& d, const QString& a) { return d.driveOf(a); }},
    {"mountPointOf", [](const Disks& d, const QString& a) { return d.mountPointOf(a); }},
    {"mountHolding",
     [](const Disks& d, const QString& a) {
         const MountEntry* mount = mountHolding(d.mounts(), a);
         return mount ? QString::fromUtf8(mount->source) : QStringLiteral("none");
     }},
};

}  // namespace

class TestDisks : public QObject {
    Q_OBJECT

private slots:
    void queries_data() {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QString>("expected");
        auto row = [](const char* name, const QString& q, const QString& a, const QString& e) {
            QTest::newRow(name) << q << a << e;
        };
        row("by UUID", "byUuid", kRoot, "/dev/sda2");
        row("empty UUID matches no UUID-less device", "byUuid", "", "none");
        row("unknown UUID", "byUuid", "00000000-0000-4000-8000-000000000000", "none");
        row("UUIDs are case-sensitive", "byUuid", kRoot.toUpper(), "none");
        row("mounted at /", "mountedAt", "/", "/dev/sda2");
        row("mounted at a bind", "uuidMountedAt", "/home", kData);
        row("a directory is no mount point", "uuidMountedAt", "/data/backups", "");
        row("empty path", "uuidMountedAt", "", "");
        row("drive", "driveOf", kData, kDisk1);
        row("no drive", "driveOf", kLogical, "");
        row("drive of no UUID", "driveOf", "", "");
        row("mount point", "mountPointOf", kRecovery, "/recovery");
        row("first of several", "mountPointOf", kData, "/data");
        row("own root before a bind sorted first", "mountPointOf", kUserData, "/userdata");
        row("not mounted", "mountPointOf", kUnmounted, "");
        row("stacked: the one on top", "mountedAt", "/media/user/disk", "/dev/sdb2");
        row("hidden under a stacked mount", "mountPointOf", "5a6b7c8d-9e0f-4a1b-8c2d-3e4f5a6b7c8d",
            "");
        row("backup directory", "mountHolding", "/data/backups", "/dev/sda3");
        row("stacked mount point", "mountHolding", "/media/user/disk", "/dev/sdb2");
        row("on the root file system", "mountHolding", "/srv/backups", "/dev/sda2");
        row("sibling of a mount point", "mountHolding", "/data2/bk", "/dev/sdb2");
        row("directory beside a mount point", "mountHolding", "/media/user/disk2", "/dev/sda2");
        row("deepest mount point wins", "mountHolding", "/data/home/bk", "/dev/mapper/vg-home");
        row("hidden by a mount over a parent", "mountHolding", "/media/other/stick/bk", "over");
    }
    void queries() {
        QFETCH(QString, query);
        QFETCH(QString, argument);
        static const Disks disks = loadListing();
        QTEST(kQueries.value(query)(disks, argument), "expected");
    }
};

QTEST_GUILESS_MAIN(TestDisks)
#include "tst_disks.moc"
