// udisks-probe: lists the block devices as the disk layer sees them, or mounts and
// unmounts one by UUID. Used by the tests to run the layer in a process of its own (a
// missing bus, the simulated machine).
//
//   udisks-probe list
//   udisks-probe mount <uuid>
//   udisks-probe unmount <uuid>

#include <QCoreApplication>
#include <QTextStream>

#include "platform/udisks/disks.h"
#include "platform/udisks/odiskmanager.h"

namespace {

QTextStream& out() {
    static QTextStream stream(stdout);
    return stream;
}

QString joined(const QByteArrayList& list) {
    QStringList texts;
    for (const QByteArray& bytes : list) {
        texts << QString::fromUtf8(bytes);
    }
    return texts.join(',');
}

int list() {
    const QList<OListedDevice> devices = ODiskManager().listBlockDevices();
    for (const OListedDevice& listed : devices) {
        const OBlockProperties& device = listed.properties;
        out() << listed.path << " uuid=" << device.idUUID << " type=" << device.idType
              << " device=" << QString::fromUtf8(device.device) << " drive=" << device.drive
              << " mounts=" << joined(device.mountPoints) << '\n';
    }
    out() << devices.size() << " devices\n";
    return 0;
}

int mountByUuid(const QString& uuid, bool mount) {
    Disks disks = Disks::list();
    if (!disks.byUuid(uuid)) {
        out() << "no device with uuid " << uuid << '\n';
        return 1;
    }
    if (mount) {
        out() << "answer=" << disks.mount(uuid) << '\n';
    } else {
        disks.unmount(uuid);
    }
    const auto* after = disks.byUuid(uuid);  // read anew: the service may have lost the UUID
    out() << "mounts=" << (after ? after->mountPoints.join(',') : QString("?")) << '\n';
    return after ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.value(0) == "list") {
        return list();
    }
    if (args.size() == 2 && (args[0] == "mount" || args[0] == "unmount")) {
        return mountByUuid(args[1], args[0] == "mount");
    }
    QTextStream(stderr) << "usage: udisks-probe list | mount <uuid> | unmount <uuid>\n";
    return 2;
}
