// The block-device inventory: lsblk records, mapper names, device-mapper parents, df usage,
// and the process-wide cache that lookups read.

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <array>

#include "utils/Device/device.h"
#include "utils/core/command/spawncmd.h"

namespace {

// Replaced as a whole by getDeviceList. No lock: it must not be refreshed while another
// thread reads it.
DeviceInfoList g_deviceCache;

const QString kLsblkColumns =
    "NAME,KNAME,LABEL,UUID,TYPE,FSTYPE,SIZE,FSUSED,FSAVAIL,LOG-SEC,PHY-SEC,MOUNTPOINT,MODEL,RO,"
    "HOTPLUG,MAJ:MIN,PARTLABEL,PARTUUID,PKNAME,PATH,VENDOR,SERIAL,REV,ROTA";

// Capture groups of one lsblk --pairs line, in the column order of kLsblkColumns.
enum LsblkGroup {
    kName = 1,
    kKname,
    kLabel,
    kUuid,
    kType,
    kFsType,
    kSize,
    kFsUsed,
    kFsAvail,
    kLogSec,
    kPhySec,
    kMountPoint,
    kModel,
    kRo,
    kHotplug,
    kMajMin,
    kPartLabel,
    kPartUuid,
    kPkname,
    kPath,
    kVendor,
    kSerial,
    kRev,
    kRota,
};

const QString kLsblkLine =
    R"re(NAME="(.*)" KNAME="(.*)" LABEL="(.*)" UUID="(.*)" TYPE="(.*)" FSTYPE="(.*)" )re"
    R"re(SIZE="(.*)" FSUSED="(.*)" FSAVAIL="(.*)" LOG-SEC="(.*)" PHY-SEC="(.*)" )re"
    R"re(MOUNTPOINT="(.*)" MODEL="(.*)" RO="([0-9]+)" HOTPLUG="([0-9]+)" )re"
    R"re(MAJ[_:]MIN="([0-9:]+)" PARTLABEL="(.*)" PARTUUID="(.*)" PKNAME="(.*)" )re"
    R"re(PATH="(.*)" VENDOR="(.*)" SERIAL="(.*)" REV="(.*)" ROTA="(.*)")re";

// Whole-line matching with greedy groups, so a value may itself hold quotes.
const QRegularExpression& lsblkLinePattern() {
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(kLsblkLine));
    return pattern;
}

// The 24 values of one line, by LsblkGroup (index 0 unused), pointing into the line.
using LsblkValues = std::array<QStringRef, kRota + 1>;

// [0-9]+, or [0-9:]+ with colonToo.
bool isDigits(const QStringRef& text, bool colonToo = false) {
    for (const QChar c : text) {
        if ((c < '0' || c > '9') && !(colonToo && c == ':')) {
            return false;
        }
    }
    return !text.isEmpty();
}

// Whether the line holds `key="` at pos; MAJ:MIN may come as MAJ_MIN.
bool keyAt(const QStringRef& line, int pos, const QByteArray& key) {
    if (pos + key.size() + 2 > line.size()) {
        return false;
    }
    const QChar* at = line.constData() + pos;
    for (int i = 0; i < key.size(); ++i) {
        if (at[i] != QLatin1Char(key[i]) && !(key[i] == ':' && at[i] == '_')) {
            return false;
        }
    }
    return at[key.size()] == '=' && at[key.size() + 1] == '"';
}

// A line with no quote inside any value: then every quote of the line is a delimiter, and one
// scan finds the split the greedy pattern would take, without its backtracking (which cost
// most of a large machine's inventory). False when the line is not of that form.
bool scanQuoteFree(const QStringRef& line, LsblkValues& values) {
    static const QList<QByteArray> keys = kLsblkColumns.toLatin1().split(',');
    int pos = 0;
    for (int group = kName; group <= kRota; ++group) {
        const QByteArray& key = keys.at(group - kName);
        if (group != kName && (pos >= line.size() || line.at(pos++) != ' ')) {
            return false;
        }
        if (!keyAt(line, pos, key)) {
            return false;
        }
        pos += key.size() + 2;
        const int close = line.indexOf('"', pos);
        if (close < 0) {
            return false;
        }
        values[group] = line.mid(pos, close - pos);
        pos = close + 1;
    }
    return pos == line.size() && isDigits(values[kRo]) && isDigits(values[kHotplug]) &&
           isDigits(values[kMajMin], true);
}

QString normalisedFsType(const QStringRef& text) {
    const QString fsType = text.trimmed().toString().toLower();
    if (fsType == "crypto_luks") {
        return "luks";
    }
    if (fsType == "lvm2_member") {
        return "lvm2";
    }
    return fsType;
}

// Empty columns keep the field's 0; so does a text that is not a number.
quint64 optionalUnsigned(const QStringRef& text) {
    const QStringRef trimmed = text.trimmed();
    return trimmed.isEmpty() ? 0 : trimmed.toULongLong();
}

template <typename Text>
int intOrMinusOne(const Text& text) {
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok ? value : -1;
}

void setMajorMinor(DeviceInfo& info, const QString& majMin) {
    info.majMin = majMin;
    const int colon = majMin.indexOf(':');
    info.major = intOrMinusOne(colon < 0 ? majMin : majMin.left(colon));
    info.minor = intOrMinusOne(colon < 0 ? majMin : majMin.mid(colon + 1));
}

void setByPaths(DeviceInfo& info) {
    if (!info.uuid.isEmpty()) {
        info.byUuidPath = QLatin1String("/dev/disk/by-uuid/") + info.uuid;
    }
    if (!info.label.isEmpty()) {
        info.byLabelPath = QLatin1String("/dev/disk/by-label/") + info.label;
    }
    if (!info.partUuid.isEmpty()) {
        info.byPartUuidPath = QLatin1String("/dev/disk/by-partuuid/") + info.partUuid;
    }
    if (!info.partLabel.isEmpty()) {
        info.byPartLabelPath = QLatin1String("/dev/disk/by-partlabel/") + info.partLabel;
    }
}

DeviceInfoPtr recordFrom(const LsblkValues& values) {
    auto text = [&values](int group) { return values[group].trimmed().toString(); };
    DeviceInfoPtr info(new DeviceInfo);
    info->name = text(kName);
    info->kname = text(kKname);
    info->label = text(kLabel);
    info->uuid = text(kUuid);
    info->type = text(kType);
    info->fsType = normalisedFsType(values[kFsType]);
    info->size = values[kSize].trimmed().toLongLong();
    info->fsUsed = optionalUnsigned(values[kFsUsed]);
    info->fsAvail = optionalUnsigned(values[kFsAvail]);
    info->logicalSectorSize = optionalUnsigned(values[kLogSec]);
    info->physicalSectorSize = optionalUnsigned(values[kPhySec]);
    info->mountPoint = text(kMountPoint);
    info->model = text(kModel);
    info->readOnly = values[kRo].trimmed() == QLatin1String("1");
    info->hotplug = values[kHotplug].trimmed() == QLatin1String("1");
    setMajorMinor(*info, text(kMajMin));
    // Partition labels are matched byte for byte elsewhere, so their blanks stay.
    info->partLabel = values[kPartLabel].toString();
    info->partUuid = text(kPartUuid);
    info->pkname = text(kPkname);
    info->path = text(kPath);
    info->vendor = text(kVendor);
    info->serial = text(kSerial);
    info->revision = text(kRev);
    info->rotational = intOrMinusOne(values[kRota].trimmed());
    info->devicePath = QLatin1String("/dev/") + info->kname;
    setByPaths(*info);
    return info;
}

DeviceInfoPtr firstWhere(const DeviceInfoList& list, QString DeviceInfo::*field,
                         const QString& value) {
    for (const DeviceInfoPtr& info : list) {
        if ((*info).*field == value) {
            return info;
        }
    }
    return {};
}

bool namesDevice(const DeviceInfo& info, const QString& id) {
    return id == info.devicePath || id == info.name || id == info.kname || id == info.uuid ||
           id == info.label || id == info.partUuid || id == info.partLabel ||
           id == info.byUuidPath || id == info.byLabelPath || id == info.byPartLabelPath ||
           id == info.byPartUuidPath || id == info.mapperName || id == info.mountPoint;
}

qint64 signedOrZero(const QString& text) {
    return text.trimmed().toLongLong();
}

}  // namespace

Device::Device(const QString& identifier) : m_info(lookupDevice(identifier)) {}

void Device::setDevice(const QString& identifier) {
    const DeviceInfoPtr info = lookupDevice(identifier);
    if (!info.isNull()) {
        m_info = info;
    }
}

QString Device::runLsblk() {
    QString output;
    SpawnCmd("lsblk", {"--bytes", "--pairs", "--output", kLsblkColumns}, output);
    return output;
}

DeviceInfoList Device::parseLsblkOutput(const QString& output) {
    DeviceInfoList list;
    for (const QStringRef& line : output.splitRef('\n', Qt::SkipEmptyParts)) {
        LsblkValues values;
        if (scanQuoteFree(line, values)) {
            list.append(recordFrom(values));
            continue;
        }
        const QString whole = line.toString();
        const QRegularExpressionMatch match = lsblkLinePattern().match(whole);
        if (match.hasMatch()) {
            for (int group = kName; group <= kRota; ++group) {
                values[group] = match.capturedRef(group);
            }
            list.append(recordFrom(values));
        }
    }
    return list;
}

DeviceInfoList Device::createDeviceList() {
    return createDeviceList(QStringLiteral("/dev/mapper/"));
}

DeviceInfoList Device::createDeviceList(const QString& mapperDir) {
    DeviceInfoList list = parseLsblkOutput(runLsblk());
    applyMapperLinks(list, readMapperLinks(mapperDir));
    updateDmDependencies(list);
    return list;
}

QList<QPair<QString, QString>> Device::readMapperLinks(const QString& mapperDir) {
    QList<QPair<QString, QString>> links;
    const QDir dir(mapperDir);
    // System lists dangling links too; the target is read from the link itself.
    const QFileInfoList entries = dir.entryInfoList(
        QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo& entry : entries) {
        if (entry.fileName() != "control" && entry.isSymLink()) {
            links.append({entry.absoluteFilePath(), entry.symLinkTarget()});
        }
    }
    return links;
}

void Device::applyMapperLinks(DeviceInfoList& list, const QList<QPair<QString, QString>>& links) {
    for (const auto& link : links) {
        for (const DeviceInfoPtr& info : list) {
            if (info->devicePath == link.second) {
                info->mapperName = QFileInfo(link.first).fileName();
                info->mapperPath = link.first;
            }
        }
    }
}

void Device::updateDmDependencies(DeviceInfoList& list) {
    QString output;
    if (!SpawnCmd("dmsetup", {"deps", "-o", "blkdevname"}, output)) {
        return;
    }
    applyDmDependencies(list, parseDmDeps(output));
}

QList<DmDependency> Device::parseDmDeps(const QString& output) {
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(R"re(([^:]*)\:.*\((.*)\))re"));
    QList<DmDependency> deps;
    const QStringList lines = output.split('\n');
    for (const QString& line : lines) {
        if (line.trimmed().isEmpty()) {
            continue;
        }
        const QRegularExpressionMatch match = pattern.match(line);
        if (match.hasMatch()) {
            deps.append({match.captured(1).trimmed(), match.captured(2).trimmed()});
        }
    }
    return deps;
}

void Device::applyDmDependencies(DeviceInfoList& list, const QList<DmDependency>& deps) {
    for (const DmDependency& dep : deps) {
        const DeviceInfoPtr parent = firstWhere(list, &DeviceInfo::kname, dep.dependency);
        const DeviceInfoPtr mapped = firstWhere(list, &DeviceInfo::mapperName, dep.mapperName);
        if (!parent.isNull() && !mapped.isNull()) {
            mapped->pkname = parent->kname;
        }
    }
}

DeviceInfoList Device::getDeviceList() {
    g_deviceCache.clear();
    g_deviceCache = createDeviceList();
    return g_deviceCache;
}

DeviceInfoPtr Device::lookupDevice(const QString& identifier) {
    // An empty identifier names nothing: every record has some empty field, and binding to
    // an arbitrary one would let a caller mount or unmount the wrong device.
    if (identifier.isEmpty()) {
        return {};
    }
    for (const DeviceInfoPtr& info : qAsConst(g_deviceCache)) {
        if (!info->devicePath.startsWith("/dev/loop") && namesDevice(*info, identifier)) {
            return info;
        }
    }
    return {};
}

void Device::updateUsageFromDf() {
    QString output;
    if (!SpawnCmd("df", {"-T", "-B1"}, output)) {
        return;
    }
    const QList<DfLine> lines = parseDfOutput(output);
    for (const DfLine& line : lines) {
        const DeviceInfoPtr info = lookupDevice(line.source);
        if (!info.isNull()) {
            info->size = line.size;
            info->fsUsed = quint64(line.used);
            info->fsAvail = quint64(line.avail);
            info->fsUsePercent = line.usePercent;
        }
    }
}

QList<DfLine> Device::parseDfOutput(const QString& output) {
    QList<DfLine> result;
    const QStringList lines = output.split('\n');
    for (int i = 1; i < lines.size(); ++i) {
        const QStringList pieces = lines.at(i).trimmed().split(' ', Qt::SkipEmptyParts);
        // A mount point with a blank splits into more pieces; such lines are left out.
        if (pieces.size() != 7) {
            continue;
        }
        DfLine line;
        line.source = pieces.at(0).trimmed();
        line.size = signedOrZero(pieces.at(2));
        line.used = signedOrZero(pieces.at(3));
        line.avail = signedOrZero(pieces.at(4));
        line.usePercent = pieces.at(5).trimmed();
        result.append(line);
    }
    return result;
}
