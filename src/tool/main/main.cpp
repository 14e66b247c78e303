// orvik-recovery-tool: checks a backup or restore request and hands a plan to the recovery
// live system, which carries it out on the next boot. One request per run; the first
// refusal ends the run with its exit code.

#include <unistd.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <cstdio>

#include "tool/main/backupplan.h"
#include "tool/main/liveflag.h"
#include "tool/main/machinechecks.h"
#include "tool/main/options.h"
#include "tool/main/restoreplan.h"
#include "tool/main/runlock.h"
#include "tool/main/status.h"
#include "tool/main/timelimits.h"

namespace {

// A dry run: every write the real run would make is foreseen, then the plan is shown.
int showPlan(const QString& recoveryMountPoint, const Plan& plan) {
    int code = checkPlanFiles(recoveryMountPoint, plan);
    if (code == NoError) {
        code = foreseeLiveFlags();
    }
    if (code == NoError) {
        printTaskFile(plan);
        reportReplacedBackup(plan.replaced);
    }
    return code;
}

// The hand-off, in the order that leaves every state between two steps safe after a power
// cut: the earlier plan's flag down, the new plan on the disk, the flag up, and only then the
// replaced backup deleted.
int handOver(const QString& recoveryMountPoint, const Plan& plan) {
    int code = checkPlanFiles(recoveryMountPoint, plan);  // a refusal changes nothing
    if (code == NoError) {
        code = lowerLiveFlags();
    }
    if (code == NoError) {
        code = writePlan(recoveryMountPoint, plan);
    }
    if (code == NoError) {
        code = raiseLiveFlag();
    }
    if (code != NoError) {
        return code;  // the plan will never run: the replaced backup stays, still recorded
    }
    removeReplacedBackup(recoveryMountPoint, plan.replaced);
    return NoError;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    installTranslator(app);
    setUpProgramStarts();

    QCommandLineParser parser;
    setUpCommandLine(parser);
    parser.process(app);  // help, version and a malformed command line end the run here
    const int usage = checkOptionCombination(parser);
    if (usage != NoError) {
        return usage;
    }
    if (updateInitramfsRequested(parser)) {
        return withinTimeLimits(refreshInitramfs());
    }

    const Request request = readRequest(parser);
    qInfo() << "absolutePath = " << request.absolutePath;
    if (request.action == NoAction && !request.status) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return NoError;
    }
    if (getuid() != 0) {
        qWarning() << QObject::tr("Permission denied");
        return OtherError;
    }
    if (request.status) {
        return withinTimeLimits(reportStatus());
    }

    // A run that will write holds the lock until it ends; a dry run writes nothing.
    RunLock lock;
    int code = request.dryRun ? NoError : lock.acquire(runLockPath, runLockWaitSeconds());
    if (code != NoError) {
        return code;
    }
    MachineValues machine;
    code = withinTimeLimits(checkMachine(request.action, machine));
    if (code != NoError) {
        return code;
    }
    if (isCancelAction(request.action)) {
        return cancelBackupOrRestore(request.action, machine.recoveryMountPoint);
    }
    code = readPartitionIdentities(machine);
    if (code != NoError) {
        return code;
    }
    Plan plan;
    code = isBackupAction(request.action) ? planBackup(request, machine, plan)
                                          : planRestore(request, machine, plan);
    code = withinTimeLimits(code);  // a plan comes only from checks that all ran to their end
    if (code != NoError) {
        return code;
    }
    return request.dryRun ? showPlan(machine.recoveryMountPoint, plan)
                          : handOver(machine.recoveryMountPoint, plan);
}
