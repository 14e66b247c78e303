#include "tool/main/options.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QLocale>
#include <QMap>
#include <QTranslator>

namespace {

const char kTranslationFile[] =
    "/usr/share/orvik-recovery-gui/translations/tool/orvik-recovery-tool_%1.qm";
const char kToolName[] = "orvik-recovery-tool";

QString actionDescription() {
    return QObject::tr("Choose an action type:\n") + "   manual_backup   " +
           QObject::tr("Full Backup\n") + "   system_backup   " + QObject::tr("System Backup\n") +
           "   manual_restore  " + QObject::tr("Restore from backup files\n") +
           "   system_restore  " + QObject::tr("Reset to factory settings\n") +
           "   cancel_backup   " + QObject::tr("Cancel Backup\n") + "   cancel_restore  " +
           QObject::tr("Cancel Restore\n");
}

QString returnValueTable() {
    return QObject::tr("Return value:\n") + " 0 NoError\n" + " 1 SpaceError       " +
           exitCodeHelpText(SpaceError) + " 2 FsError          " + exitCodeHelpText(FsError) +
           " 3 PathError        " + exitCodeHelpText(PathError) + " 4 LocationError    " +
           exitCodeHelpText(LocationError) + " 5 MD5Error         " + exitCodeHelpText(MD5Error) +
           " 6 DeviceReadOnly   " + exitCodeHelpText(DeviceReadOnly) + " 7 BackupPathError  " +
           exitCodeHelpText(BackupPathError) + "\n" + " 8 PartitionEncrypt " +
           exitCodeHelpText(PartitionEncrypt) + "\n" + " -1 OtherError    " +
           exitCodeHelpText(OtherError);
}

QString applicationDescription() {
    QString text = QObject::tr("e.g.:\n") +
                   " %1 Action            Path        [Format]\n"
                   " %1 -a system_backup  -p ~/backup\n"
                   " %1 -a manual_restore -p ~/backup\n"
                   " %1 -a system_restore -f\n"
                   " %1 -a cancel_backup\n"
                   " %1 -a cancel_restore\n\n%2";
    // The usage always names the installed tool, whatever name started it.
    text.replace("%1", kToolName);
    return text.replace("%2", returnValueTable());
}

}  // namespace

QString exitCodeHelpText(ExitCode code) {
    switch (code) {
        case SpaceError:
            return QObject::tr("Insufficient disk space\n");
        case FsError:
            return QObject::tr(
                "The file system is not supported for backup. Please select one in ext4, btrfs, "
                "xfs, reiserfs format.\n");
        case PathError:
            return QObject::tr("Invalid path\n");
        case LocationError:
            return QObject::tr("The storage location cannot be in the source disk.\n");
        case MD5Error:
            return QObject::tr("The backup file is corrupted.\n");
        case DeviceReadOnly:
            return QObject::tr("Cannot back up data to the read-only device\n");
        case BackupPathError:
            return QObject::tr(
                "This directory cannot be used to store backup files, please select a different "
                "directory.");
        case PartitionEncrypt:
            return QObject::tr(
                "The system contains encrypted partition, please decrypt it before using the "
                "backup "
                "and restore function.");
        case OtherError:
            return QObject::tr("For other errors, please read output messages.");
        default:
            return QString();
    }
}

void installTranslator(QCoreApplication& app) {
    // Owned by the application for the rest of the run.
    auto* translator = new QTranslator(&app);
    translator->load(QString(kTranslationFile).arg(QLocale::system().name()));
    app.installTranslator(translator);
}

void setUpCommandLine(QCommandLineParser& parser) {
    // The version comes from the build (CMake's project version), so --version and a bug
    // report name the release that is running.
    QCoreApplication::setApplicationVersion(QStringLiteral(ORVIK_VERSION));
    parser.setApplicationDescription(applicationDescription());
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({{"a", "action"}, actionDescription(), "type"});
    parser.addOption({{"p", "path"}, QObject::tr("Real path"), "directory"});
    parser.addOption({{"f", "format"}, QObject::tr("Format user data")});
    parser.addOption({{"r", "reboot"}, QObject::tr("Auto reboot")});
    parser.addOption({{"l", "locale"}, QObject::tr("locale language"), QLocale::system().name()});
    parser.addOption({{"ui", "update-initramfs"}, QObject::tr("update-initramfs -u")});
    parser.addOption({"status", QObject::tr("Show what the next boot will do")});
    parser.addOption(
        {{"n", "dry-run"}, QObject::tr("Check the request, print the plan, write nothing")});
}

bool updateInitramfsRequested(const QCommandLineParser& parser) {
    return parser.isSet("ui");
}

int checkOptionCombination(const QCommandLineParser& parser) {
    QString first;
    QString second;
    const ActionType action = actionFromText(parser.value("action"));
    // A mistyped action is no request for the help: a script must not read it as planned.
    if (parser.isSet("action") && action == NoAction) {
        qWarning() << QObject::tr("Unknown action: '%1'").arg(parser.value("action"));
        return UsageError;
    }
    if (parser.isSet("status") &&
        (parser.isSet("action") || parser.isSet("dry-run") || parser.isSet("ui"))) {
        first = "--status";
        second = parser.isSet("ui") ? "--ui" : parser.isSet("dry-run") ? "--dry-run" : "-a";
    } else if (parser.isSet("dry-run") && (parser.isSet("ui") || isCancelAction(action))) {
        first = "--dry-run";
        second = parser.isSet("ui") ? QString("--ui") : parser.value("action");
    } else {
        return NoError;
    }
    qWarning() << QObject::tr("%1 cannot be combined with %2").arg(first, second);
    return UsageError;
}

Request readRequest(const QCommandLineParser& parser) {
    Request request;
    request.format = parser.isSet("format");
    request.reboot = parser.isSet("reboot");
    request.dryRun = parser.isSet("dry-run");
    request.status = parser.isSet("status");
    request.pathSet = parser.isSet("path");
    request.locale = parser.isSet("locale") ? parser.value("locale") : QLocale::system().name();
    request.absolutePath =
        normalisePath(parser.value("path"), QDir::currentPath(), request.replaceTarget);
    request.action = actionFromText(parser.value("action"));
    return request;
}

QString normalisePath(const QString& value, const QString& workingDir, QString& replaceTarget) {
    QString path = value;
    replaceTarget.clear();
    if (path.endsWith('#')) {
        replaceTarget = path.left(path.size() - 1);
        const int slash = replaceTarget.lastIndexOf('/');
        path = slash < 0 ? replaceTarget : replaceTarget.left(slash);
    }
    if (!path.startsWith('/')) {
        path = QString("%1/%2").arg(workingDir, path);
    }
    if (path.size() > 1) {
        while (path.endsWith('/')) {
            path.truncate(path.lastIndexOf('/'));
        }
    }
    return path;
}

ActionType actionFromText(const QString& text) {
    static const QMap<QString, ActionType> actions = {
        {"manual_backup", ManualBackup},   {"system_backup", SystemBackup},
        {"manual_restore", ManualRestore}, {"system_restore", SystemRestore},
        {"cancel_backup", CancelBackup},   {"cancel_restore", CancelRestore},
    };
    return actions.value(text, NoAction);
}

bool isBackupAction(ActionType action) {
    return action == ManualBackup || action == SystemBackup;
}

bool isCancelAction(ActionType action) {
    return action == CancelBackup || action == CancelRestore;
}
