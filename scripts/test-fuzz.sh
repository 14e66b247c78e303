#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer),
# replays every seed and kept regression input, then fuzzes each target for a short time
# (ORVIK_FUZZ_SECONDS, default 10). Ends with "N passed, N failed"; non-zero on any crash.
#
#   ORVIK_FUZZ_BUILD_DIR=DIR  build directory (default build-fuzz)
# scripts/fuzz-long.sh runs the same targets for longer.
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
build=${ORVIK_FUZZ_BUILD_DIR:-$top/build-fuzz}
seconds=${ORVIK_FUZZ_SECONDS:-10}
jobs=${ORVIK_JOBS:-$(nproc)}

if ! command -v clang++ >/dev/null; then
  echo "clang++ is missing: scripts/install-deps.sh installs it"
  echo "0 passed, 1 failed"
  exit 1
fi

echo "== fuzz build ($build)"
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVIK_FUZZ=ON \
  -DORVIK_FUZZ_SECONDS="$seconds" >/dev/null &&
  cmake --build "$build" -j"$jobs" --target fuzzers >"$build.log" 2>&1 ||
  { tail -n 40 "$build.log"; echo "fuzz build failed"; echo "0 passed, 1 failed"; exit 1; }

log=$(mktemp)
trap 'rm -f "$log"' EXIT
echo "== replay of seeds and regressions, then ${seconds}s of fuzzing per target"
(cd "$build" && ctest --output-on-failure -j"$jobs" -L fuzz) 2>&1 | tee "$log"
line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
if [ -z "$line" ]; then
  echo "0 passed, 1 failed"
  exit 1
fi
nfail=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
if [ "$nfail" -ne 0 ]; then
  echo "crash inputs, to keep under tests/fuzz/regressions/<target>/ once understood:"
  find "$build/tests/fuzz/crashes" -type f
fi
echo "== fuzz summary"
echo "$((total - nfail)) passed, $nfail failed"
[ "$nfail" -eq 0 ]
