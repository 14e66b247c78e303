#!/usr/bin/env bash
# The tool's main job, shown on a simulated machine: plans a system backup to a directory on
# the data partition and prints the tool's messages, its exit status, the task file, the
# save-path index and the flag it raised. Nothing on the host is touched. Installs what it
# needs first. Must run as root (private mount namespaces).
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
if [ "$(id -u)" -ne 0 ]; then
  echo "scripts/run-main-job.sh must run as root: the simulated machine needs private mount namespaces." >&2
  exit 1
fi
bash scripts/install-deps.sh >/dev/null || { echo "installing the dependencies failed" >&2; exit 1; }
build=${ORVIK_BUILD_DIR:-$top/build}
tool="$build/src/tool/main/orvik-recovery-tool"

# A build tree is brought up to date (nothing to do when it is, a few seconds), so a pull
# never leaves an old tool in use; a tool without a tree beside it (copied in) is used as is.
log="$build.log"
if [ -f "$build/CMakeCache.txt" ] || [ ! -x "$tool" ]; then
  echo "== build (log: $log)"
  { [ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo; } \
    >"$log" 2>&1 &&
    cmake --build "$build" --target orvik-recovery-tool -j"$(nproc)" >>"$log" 2>&1 ||
    { tail -n 30 "$log"; echo "build failed (log: $log)" >&2; exit 1; }
fi

recovery=/recovery/backup
echo "== orvik-recovery-tool -a system_backup -p /data/backups   (simulated machine \"plain\")"
ORVIK_TOOL="$tool" /usr/bin/python3 tests/machine/run-in-machine plain \
  --before "mkdir -p /data/backups" \
  --env TZ=UTC \
  --collect "$recovery/recovery.json" \
  --collect "$recovery/savePath.json" \
  --collect /live.flag \
  --collect /.flag.d/live.flag \
  -- orvik-recovery-tool -a system_backup -p /data/backups 2>&1
status=$?
case $status in
  125) echo "== the simulated machine could not be built: see the message above" ;;
  126 | 127) echo "== the tool did not start in the simulated machine: see the message above" ;;
esac
echo "== exit status: $status"
exit "$status"
