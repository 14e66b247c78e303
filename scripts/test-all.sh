#!/usr/bin/env bash
# Installs what is needed, checks that the layers of src/ point down, builds, and runs every
# test: unit tests (CTest), a separate project
# built against a staged install of the library, the simulated machine and end-to-end tests
# (pytest, as root), and the package check.
# Ends with one summary line "N passed, N failed".
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

if [ "$(id -u)" -ne 0 ]; then
  echo "scripts/test-all.sh must run as root: the tests build loop devices and private mount namespaces." >&2
  exit 1
fi

bash scripts/install-deps.sh || exit 1
# Debian's interpreter: it has pytest, dbus-python and GLib; another python3 earlier on PATH may not.
py=/usr/bin/python3

build=${ORVIK_BUILD_DIR:-$top/build}
jobs=$(nproc)
passed=0
failed=0

source "$top/scripts/lib/testcounts.sh"

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

echo "== layers: every include of src/ points down"
if bash scripts/check-layers.sh; then passed=$((passed + 1)); else failed=$((failed + 1)); fi

echo "== build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
  cmake --build "$build" -j"$jobs" || { echo "build failed"; echo "0 passed, 1 failed"; exit 1; }

echo "== unit tests"
(cd "$build" && ctest --output-on-failure -j"$jobs") 2>&1 | tee "$logs/ctest.log"
count_ctest "$logs/ctest.log"

echo "== consumer project against a staged install of the library"
# Installed under DESTDIR only: the consumer finds the library by its CMake package and its
# pkg-config file there, never the build tree.
if DESTDIR="$logs/stage" cmake --install "$build" --prefix /usr >"$logs/install.log" 2>&1; then
  bash tests/consumer/run.sh "$logs/stage/usr" "$logs/consumer" 2>&1 | tee "$logs/consumer.log"
else
  tail -n 20 "$logs/install.log"
fi
count_ctest "$logs/consumer.log"

echo "== simulated machine and end-to-end tests"
export ORVIK_TOOL="$build/src/tool/main/orvik-recovery-tool"
export ORVIK_BUILD_DIR="$build"
"$py" -m pytest -q -p no:cacheprovider tests/machine tests/e2e 2>&1 | tee "$logs/e2e.log"
count_pytest "$logs/e2e.log"

echo "== real disk stack: loop disks, real udev, udisks2 and programs"
"$py" -m pytest -q -p no:cacheprovider tests/realdisk 2>&1 | tee "$logs/realdisk.log"
count_pytest "$logs/realdisk.log"

echo "== Debian package"
"$py" -m pytest -q -p no:cacheprovider tests/packaging 2>&1 | tee "$logs/package.log"
count_pytest "$logs/package.log"

echo "== sanitizer build: unit and end-to-end tests under ASan and UBSan"
bash scripts/test-sanitizers.sh 2>&1 | tee "$logs/asan.log"
count_summary "$logs/asan.log"

echo "== fuzz targets: replay of seeds and regressions, short runs"
bash scripts/test-fuzz.sh 2>&1 | tee "$logs/fuzz.log"
count_summary "$logs/fuzz.log"

echo "== summary"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
