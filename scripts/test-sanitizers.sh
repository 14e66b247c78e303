#!/usr/bin/env bash
# Builds the library, the tool and the unit tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (g++), then runs the unit tests (CTest) and the end-to-end tests
# (pytest in the simulated machine) against that build. Any sanitizer report fails the run.
#
#   scripts/test-sanitizers.sh            build in build-asan beside the normal build
#   ORVIK_ASAN_BUILD_DIR=DIR scripts/...  build elsewhere
#
# Ends with "N passed, N failed" and exits non-zero on a failed test or any report.
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
build=${ORVIK_ASAN_BUILD_DIR:-$top/build-asan}
jobs=${ORVIK_JOBS:-$(nproc)}
reports=$build/sanitizer-reports
supp=$top/tests/sanitizers/lsan.supp

# A report ends the process with status 86, which no exit code of the tool uses, so a test
# that expects a refusal cannot mistake a report for it. Qt has no frame pointers: the slow
# unwinder sees through its frames, which the leak suppressions need.
common="halt_on_error=1:exitcode=86:print_stacktrace=1"
export ASAN_OPTIONS="$common:detect_leaks=1:fast_unwind_on_malloc=0:strict_string_checks=1"
export UBSAN_OPTIONS="$common"
export LSAN_OPTIONS="suppressions=$supp:print_suppressions=0"

echo "== sanitizer build ($build)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVIK_SANITIZE=ON >/dev/null &&
  cmake --build "$build" -j"$jobs" >"$build.log" 2>&1 ||
  { tail -n 40 "$build.log"; echo "sanitizer build failed"; echo "0 passed, 1 failed"; exit 1; }

rm -rf "$reports"
mkdir -p "$reports"
chmod 1777 "$reports"  # the command-line tests also run the tool as an unprivileged user
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
passed=0
failed=0
source "$top/scripts/lib/testcounts.sh"

echo "== unit tests under the sanitizers"
# On the host a report also goes to a file, so one from a child whose status nobody reads
# is still seen.
(cd "$build" &&
  ASAN_OPTIONS="$ASAN_OPTIONS:log_path=$reports/asan" UBSAN_OPTIONS="$UBSAN_OPTIONS:log_path=$reports/ubsan" \
    ctest --output-on-failure -j"$jobs" -LE fuzz) 2>&1 | tee "$logs/ctest.log"
count_ctest "$logs/ctest.log"

echo "== end-to-end tests under the sanitizers"
# The interpreter that has pytest (Debian's, when another python3 comes first on PATH).
PYTHON=python3
python3 -c 'import pytest' 2>/dev/null || PYTHON=/usr/bin/python3
export ORVIK_TOOL="$build/src/tool/main/orvik-recovery-tool"
export ORVIK_BUILD_DIR="$build"
if [ -x "$build/tests/unit/recenv/recenv-probe" ]; then
  export ORVIK_RECENV_PROBE="$build/tests/unit/recenv/recenv-probe"
fi
PYTHONPATH="$top/tests/sanitizers${PYTHONPATH:+:$PYTHONPATH}" \
  "${PYTHON:-python3}" -m pytest -q -p no:cacheprovider -p pytest_sanitizer_reports tests/machine tests/e2e \
  2>&1 | tee "$logs/e2e.log"
count_pytest "$logs/e2e.log"

if compgen -G "$reports/*" >/dev/null; then
  echo "== sanitizer reports"
  for report in "$reports"/*; do
    echo "--- $report"
    head -n 60 "$report"
  done
  failed=$((failed + 1))
fi

echo "== sanitizer summary"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
