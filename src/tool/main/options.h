#pragma once

#include <QString>

class QCommandLineParser;
class QCoreApplication;

// The process exit status of every outcome; -1 reaches the parent as 255.
enum ExitCode {
    NoError = 0,
    SpaceError = 1,
    FsError = 2,
    PathError = 3,
    LocationError = 4,
    MD5Error = 5,
    DeviceReadOnly = 6,
    BackupPathError = 7,
    PartitionEncrypt = 8,
    CancelFailed = 9,
    OtherError = -1,
};

enum ActionType {
    NoAction = 0,
    ManualBackup = 1,
    SystemBackup = 2,
    ManualRestore = 3,
    SystemRestore = 4,
    CancelBackup = 5,
    CancelRestore = 6,
};

// What the caller asked for, read once from the command line.
struct Request {
    ActionType action = NoAction;
    bool pathSet = false;
    QString absolutePath;
    QString replaceTarget;  // a former backup directory to replace; empty when none
    QString locale;
    bool format = false;
    bool reboot = false;
    bool dryRun = false;  // check everything, print the plan, write nothing
    bool status = false;  // report what the next boot will do, plan nothing
};

// The status of a command line the parser accepts but the tool does not: the same 1 the
// parser itself exits with.
constexpr int UsageError = 1;

// Help text of an exit code, translated; empty for codes the help does not list.
QString exitCodeHelpText(ExitCode code);

// Loads the installed translation for the system locale; a missing file leaves English.
void installTranslator(QCoreApplication& app);

// Declares the help and version options and the six options of the tool.
void setUpCommandLine(QCommandLineParser& parser);

bool updateInitramfsRequested(const QCommandLineParser& parser);

// Refuses an action that is given but is none of the six, and option combinations that make
// no sense together (a dry run of a cancel or of the initramfs refresh, a status report with a
// request): UsageError with a message, or NoError.
int checkOptionCombination(const QCommandLineParser& parser);

// Values of a parsed command line; the path is normalised against the working directory.
Request readRequest(const QCommandLineParser& parser);

// The path value made absolute and stripped of trailing slashes. A value ending in "#"
// names a backup to replace: replaceTarget receives it and its parent becomes the path.
QString normalisePath(const QString& value, const QString& workingDir, QString& replaceTarget);

// Exact, case-sensitive lookup of an action text; anything else is NoAction.
ActionType actionFromText(const QString& text);

bool isBackupAction(ActionType action);
bool isCancelAction(ActionType action);
