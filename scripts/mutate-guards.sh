#!/usr/bin/env bash
# Shows that every safety guard matters: puts one fault at a time into a scratch copy of the
# tree (never this working tree), rebuilds what changed in one reused scratch build, runs the
# tests that should notice, and prints a table. Exits non-zero when a mutant survives, when a
# mutation no longer applies (the guard's code moved: follow it in the list below), or when
# the tests already fail without any mutation.
#
#   scripts/mutate-guards.sh [WORD...]    only the guards whose name holds one of the words
#
# Run as root (the end-to-end tests build simulated machines). The scratch copy and its build
# live in ORVIK_MUTATE_DIR (default build-mutate/ at the top of the tree) and are reused.
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
scratch=${ORVIK_MUTATE_DIR:-$top/build-mutate}
tree=$scratch/tree
build=$scratch/build
py=/usr/bin/python3
helper=$top/scripts/lib/mutation.py

names=() files=() anchors=() olds=() news=() tests=()

# guard NAME FILE ANCHOR OLD NEW TEST...
#   ANCHOR  text of one line of FILE (empty: OLD itself occurs once in FILE)
#   OLD     text replaced by NEW at its first place on or after the anchor line
#   TEST    "pytest ARG..." (test files named from tests/) or "unit EXECUTABLE [FUNCTION...]"
guard() {
  local testlist
  testlist=$(IFS=';' && echo "${*:6}")
  names+=("$1") files+=("$2") anchors+=("$3") olds+=("$4") news+=("$5") tests+=("$testlist")
}

# --- deletion of a replaced backup
guard "delete only a recorded backup" src/tool/main/savepathindex.cpp \
  '' 'mountPoint + value.toString() == replaceTarget' 'true' \
  "pytest e2e/test_savepath.py::test_replace_target"
guard "delete only strictly inside the partition" src/tool/main/backupremoval.cpp \
  '' 'if (part.isEmpty() || part == "." || part == "..") {' 'if (false) {' \
  "pytest e2e/test_savepath.py -k leading_out"
guard "delete no entry that names a directory by a dot" src/tool/main/backupremoval.cpp \
  '' 'part == "." || ' '' \
  "pytest e2e/test_savepath.py -k dot"
guard "deletion follows no link" src/tool/main/backupremoval.cpp \
  'int enterDirectory(int dir, const QByteArray& name, const WalkedMount& mount) {' \
  'O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC' 'O_RDONLY | O_DIRECTORY | O_CLOEXEC' \
  "pytest e2e/test_savepath.py::test_recorded_target_that_is_a_link_is_not_deleted" \
  "pytest e2e/test_fault_matrix.py::test_fault_just_before_the_deletion"
guard "deletion unlinks a link inside, never enters it" src/tool/main/backupremoval.cpp \
  '' '&st, AT_SYMLINK_NOFOLLOW) != 0) {' '&st, 0) != 0) {' \
  "pytest e2e/test_savepath.py::test_replace_does_not_follow_links_out_of_the_backup"
guard "deletion stays on the partition's device" src/tool/main/backupremoval.cpp \
  '' 'if (st.st_dev != mount.device || mountIdOf(fd.get()) != mount.id) {' 'if (false) {' \
  "pytest e2e/test_fault_matrix.py::test_fault_just_before_the_deletion"
guard "deletion stays on the mount it started from" src/tool/main/backupremoval.cpp \
  '' '|| mountIdOf(fd.get()) != mount.id) {' ') {' \
  "pytest e2e/test_fault_matrix.py::test_fault_just_before_the_deletion -k inside"
guard "no deletion without the mount table" src/platform/mounts/mounttable.cpp \
  '' 'refusal = table.isEmpty() ?' 'refusal = false ?' \
  "pytest e2e/test_fault_matrix.py::test_fault_just_before_the_deletion"
guard "deletion refused with a mount on or above the partition's mount point" \
  src/platform/mounts/mounttable.cpp \
  '' 'if (!held || held != mountShownAt(table, mountPoint)) {' 'if (false) {' \
  "pytest e2e/test_fault_matrix.py::test_fault_just_before_the_deletion"
guard "deletion starts from the checked partition's device" src/platform/mounts/mounttable.cpp \
  '' 'if (held->device != device) {' 'if (false) {' \
  "pytest e2e/test_fault_matrix.py::test_fault_just_before_the_deletion"
guard "deletion starts from its partition's root, not a bound directory" \
  src/platform/mounts/mounttable.cpp \
  '' 'if (held->root != QLatin1String("/")) {' 'if (false) {' \
  "pytest e2e/test_fault_matrix.py::test_fault_just_before_the_deletion"
guard "deletion refused with a mount on or inside the backup" src/tool/main/backupremoval.cpp \
  '' 'if (isUnderMountPoint(at, path) ||' 'if (false ||' \
  "pytest e2e/test_savepath.py::test_deletion_refused_or_put_off"
guard "deletion refused with a mount above the backup" src/tool/main/backupremoval.cpp \
  '' '|| isUnderMountPoint(path, at)) {' ') {' \
  "pytest e2e/test_fault_matrix.py::test_fault_just_before_the_deletion"
guard "a backup that stays deleted stays recorded" src/tool/main/backupplan.cpp \
  '' '!removeBackupDirectory(replaced.mountPoint, replaced.device, replaced.directory)' \
  '(removeBackupDirectory(replaced.mountPoint, replaced.device, replaced.directory), false)' \
  "pytest e2e/test_savepath.py::test_deletion_refused_or_put_off"
guard "a deleted backup leaves the index" src/tool/main/backupplan.cpp \
  '' 'forgetReplacedBackup(recoveryMountPoint, replaced);' '' \
  "pytest e2e/test_savepath.py::test_replace_target"
guard "delete only once the flag is up" src/tool/main/main.cpp \
  '' 'code = raiseLiveFlag();' \
  'removeReplacedBackup(recoveryMountPoint, plan.replaced); code = raiseLiveFlag();' \
  "pytest e2e/test_savepath.py::test_deletion_refused_or_put_off"
guard "delete only once the plan is saved" src/tool/main/main.cpp \
  '' 'code = writePlan(recoveryMountPoint, plan);' 'writePlan(recoveryMountPoint, plan);' \
  "pytest e2e/test_fault_matrix.py::test_index_cannot_be_saved"
guard "index entry dropped only once the deletion is synced" src/tool/main/backupplan.cpp \
  '' 'if (!syncDirectory(parent, error)) {' 'if (false) {' \
  "pytest e2e/test_fault_matrix.py::test_sync_fails -k deleted"

# --- looking writes nothing
guard "a dry run raises no flag" src/tool/main/main.cpp \
  '' 'return request.dryRun ? showPlan' 'return false ? showPlan' \
  "pytest e2e/test_fault_matrix.py -k change_nothing"
guard "a dry run foresees the index" src/tool/main/taskfile.cpp \
  'int checkPlanFiles(const QString& recoveryMountPoint, const Plan& plan) {' \
  'if (plan.indexed &&' 'if (false &&' \
  "pytest e2e/test_dry_run.py::test_index_and_flag_fail_as_a_real_run_does -k index"
guard "a dry run foresees the flag" src/tool/main/main.cpp \
  '' 'code = foreseeLiveFlags();' 'code = NoError;' \
  "pytest e2e/test_dry_run.py::test_index_and_flag_fail_as_a_real_run_does -k flag"
guard "a dry run foresees an immutable file" src/platform/files/durablefile.cpp \
  '' 'if (existing.exists() && ::access(file.constData(), W_OK) != 0) {' 'if (false) {' \
  "pytest e2e/test_dry_run.py::test_index_and_flag_fail_as_a_real_run_does -k immutable"

# --- atomic writes
guard "task file written atomically" src/tool/main/taskfile.cpp \
  '' 'if (!saveJson(kCannotSaveTaskFile, taskFilePath(recoveryMountPoint), plan.document)) {' \
  'QFile(taskFilePath(recoveryMountPoint)).resize(0); if (!saveJson(kCannotSaveTaskFile, taskFilePath(recoveryMountPoint), plan.document)) {' \
  "pytest e2e/test_fault_matrix.py::test_killed_while_writing_task_file"
guard "index written atomically" src/tool/main/savepathindex.cpp \
  '' 'if (writeFileDurably(path, indexText(index), error)) {' \
  'std::fclose(std::fopen(path.toLocal8Bit().constData(), "w")); if (writeFileDurably(path, indexText(index), error)) {' \
  "pytest e2e/test_fault_matrix.py::test_killed_while_writing_index"
guard "a durable write names its file only once it is complete" src/platform/files/durablefile.cpp \
  '' 'const int unnamed = ::open(directory.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);' \
  'errno = EOPNOTSUPP; const int unnamed = -1;' \
  "pytest realdisk/test_powercut.py -k renamed"
guard "a durable write syncs the directory after the rename" src/platform/files/durablefile.cpp \
  '        ::unlink(temporary.constData());' \
  'return syncDirectoryOf(path, error);' 'return true;' \
  "pytest e2e/test_fault_matrix.py::test_sync_fails -k plan"
guard "an earlier flag down before its plan is replaced" src/tool/main/main.cpp \
  '' 'code = lowerLiveFlags();' 'code = NoError;' \
  "pytest e2e/test_fault_matrix.py::test_killed_while_writing_task_file -k earlier"
guard "success only with the flag up and synced" src/tool/main/liveflag.cpp \
  'int raiseLiveFlag() {' 'if (!failure.isEmpty()) {' 'if (false) {' \
  "pytest e2e/test_fault_matrix.py::test_touch_fault_raises_no_false_success"
guard "the flag synced before success" src/tool/main/liveflag.cpp \
  '' 'if (!syncFile(flag, error)) {' 'if (false) {' \
  "pytest e2e/test_fault_matrix.py::test_sync_fails -k flag"
guard "success only within the flag's time limits" src/tool/main/liveflag.cpp \
  'const QString late = timeLimitReached();' 'if (!late.isEmpty()) {' 'if (false) {' \
  "pytest e2e/test_fault_matrix.py::test_flag_step_out_of_time -k made"
guard "the withdraw after a failed flag step" src/tool/main/liveflag.cpp \
  '    const QString failure = flagFailure(flag, madeDirectory);' 'withdrawLiveFlag(flag);' '' \
  "pytest e2e/test_fault_matrix.py::test_flag_step_out_of_time -k made"
guard "a cancel syncs each removal" src/tool/main/liveflag.cpp \
  '' 'if (!removalSynced(path)) {' 'if (false) {' \
  "pytest e2e/test_fault_matrix.py::test_sync_fails -k cancel"

# --- fail-closed checks
guard "no plan through a mount on the backup directory" src/tool/main/taskfile.cpp \
  '' 'if (!mounted.isEmpty()) {' 'if (false) {' \
  "pytest e2e/test_fault_matrix.py::test_mount_on_backup_directory"
guard "the backup-dir mount check compares the mounts" src/tool/main/taskfile.cpp \
  '' '|| topMount != insideMount) {' ') {' \
  "pytest e2e/test_fault_matrix.py::test_mount_on_backup_directory -k bind"
guard "no recovery partition, no plan" src/tool/main/machinechecks.cpp \
  '' 'if (machine.recoveryMountPoint.isEmpty()) {' 'if (false) {' \
  "pytest e2e/test_fault_matrix.py::test_disk_service_absent"
guard "no plan without the block-device inventory" src/tool/main/machinechecks.cpp \
  '' 'if (inventory.isEmpty() && !isCancelAction(action)) {' 'if (false) {' \
  "pytest e2e/test_fault_matrix.py::test_unreadable_inventory_on_lvm_machine_is_refused"
guard "no plan on an unknown root partition" src/tool/main/machinechecks.cpp \
  '' 'if (machine.rootUuid.isEmpty()) {' 'if (false) {' \
  "pytest e2e/test_fault_matrix.py::test_no_device_mounted_at_root"
guard "empty UUID names no partition" src/platform/udisks/disks.cpp \
  'const ListedDevice* Disks::byUuid(const QString& uuid) const {' \
  'if (uuid.isEmpty()) {' 'if (false) {' \
  "pytest e2e/test_machine_checks.py -k empty_data_uuid"
guard "the plan names the chosen directory" src/tool/main/locationchecks.cpp \
  '' 'if (!reachesChosenDirectory(location)) {' 'if (false) {' \
  "pytest e2e/test_taskfile.py::test_plan_names_the_chosen_directory"
guard "the place check compares the inode too" src/tool/main/locationchecks.cpp \
  '' 'first.st_ino == second.st_ino' 'true' \
  "pytest e2e/test_taskfile.py::test_plan_names_the_chosen_directory -k bound"
guard "a mount over a parent hides the mounts below it" src/platform/mounts/mounttable.cpp \
  '' '<= next->mountPoint.size()' '>= next->mountPoint.size()' \
  "unit tst_disks" "pytest e2e/test_taskfile.py::test_plan_names_the_chosen_directory -k tmpfs"
guard "no restore from a place no partition holds" src/tool/main/locationchecks.cpp \
  '' 'if (location.locationUuid.isEmpty()) {' 'if (false) {' \
  "pytest e2e/test_taskfile.py::test_plan_names_the_chosen_directory"
guard "a replace target is named below the resolved place" src/tool/main/locationchecks.cpp \
  '' 'return joined(location.mountPoint, location.relativePath) + target.mid(slash);' \
  'return target;' \
  "pytest e2e/test_taskfile.py::test_plan_names_the_chosen_directory"
guard "read-only probe writes" src/utils/utils/systemqueries.cpp \
  'bool isReadOnly(const QString& path) {' \
  'if (!file.open(QIODevice::WriteOnly' 'if (false && !file.open(QIODevice::WriteOnly' \
  "unit sysq_systemqueries readOnlyMissingDirectory readOnlyWithoutPermission"
guard "read-only location refused" src/tool/main/locationchecks.cpp \
  '' 'if (Utils::isReadOnly(path)) {' 'if (false) {' \
  "pytest e2e/test_refusals.py::test_refusal -k read-only"
guard "a full backup only below /media as given" src/tool/main/locationchecks.cpp \
  '' 'if (!isUnderMountPoint(given, "/media")) {' 'if (false) {' \
  "pytest e2e/test_refusals.py::test_refusal -k manual"
guard "a full backup reaches a stick through a linked /media" src/tool/main/locationchecks.cpp \
  '' 'for (const QString& link : {QString("/media"), user}) {' \
  'for (const QString& link : {QString()}) {' \
  "pytest e2e/test_taskfile.py::test_plan_names_the_chosen_directory -k media"
guard "missing image tool fails closed" src/utils/utils/systemqueries.cpp \
  'const QString tool = QStandardPaths::findExecutable("orvik-clone");' \
  'return false;' 'return true;' \
  "pytest e2e/test_fault_matrix.py::test_image_tool_fault"
guard "invalid image refused" src/utils/utils/systemqueries.cpp \
  '' 'if (error.contains("invalid file")) {' 'if (false) {' \
  "pytest e2e/test_refusals.py::test_refusal -k damaged"
guard "a crashed image tool counts the image invalid" src/utils/utils/systemqueries.cpp \
  'if (exit.crashed) {' 'return false;' 'return true;' \
  "pytest e2e/test_fault_matrix.py::test_image_tool_fault"
guard "no flag when the index cannot be saved" src/tool/main/taskfile.cpp \
  'if (plan.indexed && !recordInIndex(recoveryMountPoint, plan.entry)) {' \
  'return OtherError;' 'return NoError;' \
  "pytest e2e/test_fault_matrix.py::test_index_cannot_be_saved"

# --- one run at a time
guard "run lock" src/tool/main/runlock.cpp \
  '' 'return flock(fd, LOCK_EX | LOCK_NB) == 0;' 'return true;' \
  "pytest e2e/test_fault_matrix.py::test_run_lock_held"

# --- free space
guard "unreadable usage counts the whole partition" src/tool/main/locationchecks.cpp \
  '"; counting its whole size"' 'return size;' 'return 0;' \
  "pytest e2e/test_space.py::test_manual_backup_counts_unreadable_partitions_whole"
guard "du without total counts the file system" src/tool/main/locationchecks.cpp \
  'qWarning() << "du gave no total for"' 'return used;' 'return 0;' \
  "pytest e2e/test_space.py::test_du_without_total_counts_the_file_system"
guard "no plan without an estimate" src/tool/main/locationchecks.cpp \
  '' 'if (required < 0 || !addToEstimate' 'if (!addToEstimate' \
  "pytest e2e/test_space.py::test_manual_backup_counts_unreadable_partitions_whole"
guard "space comparison" src/tool/main/locationchecks.cpp \
  '' 'if (required > available) {' 'if (false) {' \
  "pytest e2e/test_space.py::test_required_equal_to_available_passes"
guard "space reserve" src/tool/main/locationchecks.cpp \
  '' 'addToEstimate(required, kSpaceReserve,' 'addToEstimate(required, 0,' \
  "pytest e2e/test_space.py::test_required_equal_to_available_passes"
guard "estimate sums checked for overflow" src/tool/main/locationchecks.cpp \
  '' 'if (__builtin_add_overflow(estimate, bytes, &estimate)) {' \
  'estimate = qint64(quint64(estimate) + quint64(bytes)); if (false) {' \
  "pytest e2e/test_space.py::test_system_backup_estimate -k 64"
guard "the full backup's estimate checked for overflow" src/tool/main/locationchecks.cpp \
  '? swapBytes(device, architecture, architectureRead)' \
  '!addToEstimate(estimate, bytes, device.node)' \
  '(estimate = qint64(quint64(estimate) + quint64(bytes)), false)' \
  "pytest e2e/test_space.py::test_manual_backup_counts_unreadable_partitions_whole -k 64"

# --- what the caller hands over
guard "child environment drops the caller's block size" src/platform/process/childprocess.cpp \
  "if (std::strncmp(entry, name, length) == 0 && entry[length] == '=') {" 'return true;' \
  'return name == names[0];' \
  "unit core_spawncmd_test childSeesLcAllC"
guard "child environment drops LSBLK_COLUMNS" src/platform/process/childprocess.cpp \
  '' '"POSIXLY_CORRECT", "LSBLK_COLUMNS", "QUOTING_STYLE"};' \
  '"POSIXLY_CORRECT", "QUOTING_STYLE"};' \
  "unit core_spawncmd_test childSeesLcAllC"
guard "status escapes the line separator" src/tool/main/status.cpp \
  '' '} else if (category == QChar::Separator_Line || category == QChar::Separator_Paragraph) {' \
  '} else if (category == QChar::Separator_Paragraph) {' \
  "pytest e2e/test_status.py::test_recorded_backups_newest_first"
guard "du names its unit" src/utils/utils/systemqueries.cpp \
  '' '{"--block-size=1024", "--max-depth=0", dir}' '{"--max-depth=0", dir}' \
  "unit sysq_systemqueries directorySize"
guard "unknown action refused" src/tool/main/options.cpp \
  '' 'if (parser.isSet("action") && action == NoAction) {' 'if (false) {' \
  "unit tst_cli exitStatus"
guard "a dry run foresees a full recovery partition" src/platform/files/durablefile.cpp \
  '' 'if (blocks > room.f_bfree ||' 'if (false &&' \
  "pytest e2e/test_dry_run.py::test_unwritable_task_file_fails_as_a_real_run_does -k full"
guard "a dry run foresees a directory at the task file's path" src/platform/files/durablefile.cpp \
  'QString foreseenWriteError(const QString& path, qint64 size) {' 'if (existing.isDir()) {' \
  'if (false) {' \
  "pytest e2e/test_dry_run.py::test_unwritable_task_file_fails_as_a_real_run_does -k directory"

# --- no run waits for ever
guard "time limit ends a hung program" src/platform/process/childprocess.cpp \
  '' 'const int ready = poll(fds, 4, msUntil(deadline));' 'const int ready = poll(fds, 4, -1);' \
  "pytest e2e/test_fault_matrix.py::test_hung_program_ends_the_run -k question"
guard "time limit kills the whole process group" src/platform/process/childprocess.cpp \
  '' 'kill(-pid, SIGKILL);' 'kill(pid, SIGKILL);' \
  "unit core_spawncmd_test timeLimitEndsTheProcessGroup"
guard "time limit holds a program that closed its outputs" src/platform/process/childprocess.cpp \
  '' 'while (in.fd[1] >= 0 || out.fd[0] >= 0 || err.fd[0] >= 0 || waitForEnd) {' \
  'while (in.fd[1] >= 0 || out.fd[0] >= 0 || err.fd[0] >= 0) {' \
  "unit core_spawncmd_test timeLimitEndsTheProcessGroup"
guard "one time limit for the whole disk listing" src/platform/udisks/odiskmanager.cpp \
  '' 'readProperties(path, device.properties, deadline);' \
  'readProperties(path, device.properties);' \
  "pytest e2e/test_fault_matrix.py::test_disk_service_stops_answering"
guard "no plan after a program ran out of time" src/tool/main/main.cpp \
  '' 'code = withinTimeLimits(code);' '' \
  "pytest e2e/test_fault_matrix.py::test_hung_program_ends_the_run -k walk"
guard "statvfs only of the mounts a run needs" src/platform/mounts/mounttable.cpp \
  '' 'if (isPseudoMount(entry) || !wanted(entry) ||' 'if (isPseudoMount(entry) ||' \
  "pytest e2e/test_fault_matrix.py::test_dead_share_elsewhere"
guard "no mount's source is looked up for its usage" src/utils/core/partitionusage/extusage.cpp \
  '' 'return QFile::decodeName(mount.source) == device ||' \
  'return (QFile::exists(QFile::decodeName(mount.source)) && false) ||
      QFile::decodeName(mount.source) == device ||' \
  "pytest e2e/test_fault_matrix.py::test_dead_share_elsewhere -k image"
guard "SIGCHLD reset at start-up" src/tool/main/timelimits.cpp \
  '' 'resetChildSignal();' '' \
  "pytest e2e/test_fault_matrix.py::test_parent_ignoring_sigchld"

selected() {
  local name=$1 word
  [ "${#words[@]}" -eq 0 ] && return 0
  for word in "${words[@]}"; do
    [[ "$name" == *"$word"* ]] && return 0
  done
  return 1
}

# The build targets a test list needs: the tool, and each unit test named.
targets_of() {
  local testlist=$1 cmd
  echo -n "orvik-recovery-tool"
  IFS=';' read -ra cmds <<<"$testlist"
  for cmd in "${cmds[@]}"; do
    read -ra argv <<<"$cmd"
    [ "${argv[0]}" = unit ] && echo -n " ${argv[1]}"
  done
  echo
}

# Runs a test list against the scratch build; its output goes to $2.
run_tests() {
  local testlist=$1 log=$2 cmd exe status=0
  IFS=';' read -ra cmds <<<"$testlist"
  for cmd in "${cmds[@]}"; do
    read -ra argv <<<"$cmd"
    case ${argv[0]} in
      pytest)
        local args=() prev=
        for a in "${argv[@]:1}"; do
          # Test files are named from tests/; option values are passed as they are.
          case $prev/$a in -k/* | */-*) args+=("$a") ;; *) args+=("tests/$a") ;; esac
          prev=$a
        done
        (cd "$tree" && ORVIK_TOOL="$build/src/tool/main/orvik-recovery-tool" \
          ORVIK_BUILD_DIR="$build" "$py" -m pytest -q -x -p no:cacheprovider "${args[@]}") \
          >>"$log" 2>&1 || status=1
        ;;
      unit)
        exe=$(find "$build/tests/unit" -type f -name "${argv[1]}" -perm -u+x | head -n 1)
        if [ -z "$exe" ]; then
          echo "no unit test ${argv[1]}" >>"$log"
          status=1
        else
          (cd "$build" && "$exe" "${argv[@]:2}") >>"$log" 2>&1 || status=1
        fi
        ;;
      *) echo "unknown test kind: ${argv[0]}" >>"$log"; status=1 ;;
    esac
  done
  return $status
}

# A test list as the table shows it.
shown() {
  local testlist=${1//pytest /}
  testlist=${testlist//e2e\//}
  testlist=${testlist//unit /}
  echo "${testlist//;/, }"
}

# '|'-separated rows as aligned columns.
table() {
  awk -F'|' '
    { for (i = 1; i <= NF; i++) { cell[NR, i] = $i; if (length($i) > w[i]) w[i] = length($i) } }
    END {
      for (r = 1; r <= NR; r++) {
        line = ""
        for (i = 1; i <= NF; i++) line = line sprintf(i < NF ? "%-" w[i] "s  " : "%s", cell[r, i])
        print line
      }
    }'
}

# Builds what a test list needs; once more on one core when that fails (a compiler killed
# for memory on a busy machine is no fault of the mutant).
build_targets() {
  local targets
  read -ra targets <<<"$(targets_of "$1")"
  cmake --build "$build" -j2 --target "${targets[@]}" >>"$2" 2>&1 ||
    cmake --build "$build" -j1 --target "${targets[@]}" >>"$2" 2>&1
}

main() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "scripts/mutate-guards.sh must run as root: the tests build simulated machines." >&2
    exit 1
  fi
  mkdir -p "$tree" "$build"
  exec 9>"$scratch/.lock"
  flock -n 9 || { echo "another mutation run uses $scratch" >&2; exit 1; }
  logs=$scratch/logs
  rm -rf "$logs" && mkdir -p "$logs"

  local chosen=() i
  for i in "${!names[@]}"; do
    selected "${names[$i]}" && chosen+=("$i")
  done
  [ "${#chosen[@]}" -gt 0 ] || { echo "no guard matches: ${words[*]}" >&2; exit 1; }

  echo "== scratch copy and build in $scratch"
  "$py" "$helper" sync "$top" "$tree" || exit 1
  local all_tests=
  for i in "${chosen[@]}"; do
    all_tests+="${tests[$i]};"
  done
  { cmake -S "$tree" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
    build_targets "$all_tests" "$logs/build.log"; } >>"$logs/build.log" 2>&1 ||
    { echo "the unmutated scratch copy does not build: $logs/build.log" >&2; exit 1; }

  echo "== the tests pass without a mutation"
  local failed=0
  for i in "${chosen[@]}"; do
    if ! run_tests "${tests[$i]}" "$logs/baseline-$i.log"; then
      echo "fails unmutated: ${names[$i]} ($logs/baseline-$i.log)" >&2
      failed=1
    fi
  done
  [ "$failed" -eq 0 ] || exit 1

  local rows=() result start log
  for i in "${chosen[@]}"; do
    log=$logs/mutant-$i.log
    echo "== ${names[$i]}"
    start=$SECONDS
    "$py" "$helper" sync "$top" "$tree" >"$log" 2>&1
    if ! "$py" "$helper" apply "$tree/${files[$i]}" "${anchors[$i]}" "${olds[$i]}" \
      "${news[$i]}" >>"$log" 2>&1; then
      result="mutation did not apply"
    elif ! build_targets "${tests[$i]}" "$log"; then
      result="mutant did not build"
    else
      if run_tests "${tests[$i]}" "$log"; then result=survived; else result=caught; fi
    fi
    [ "$result" = caught ] || failed=1
    grep -m1 "mutation did not apply" "$log" >&2
    rows+=("${names[$i]}|$(shown "${tests[$i]}")|$result|$((SECONDS - start)) s")
  done
  # Leave the scratch copy as the tree is: the next build there recompiles the mutated file.
  "$py" "$helper" sync "$top" "$tree"

  echo
  printf '%s\n' "guard|tests|result|time" "${rows[@]}" | table
  echo "logs: $logs"
  exit "$failed"
}

words=("$@")
main
