#!/usr/bin/env bash
# Runs every fuzz target (or the ones named) for a longer time and prints, per target, the
# seconds, executions, coverage and crash inputs found.
#
#   scripts/fuzz-long.sh [target...]
#   ORVIK_FUZZ_LONG_SECONDS=300  seconds per target
#   ORVIK_FUZZ_JOBS=1            targets fuzzed at once
#   ORVIK_FUZZ_BUILD_DIR=DIR     the clang build (default build-fuzz; built here)
#
# Crash inputs stay in DIR/tests/fuzz/crashes/<target>/; keep each in
# tests/fuzz/regressions/<target>/ once understood. Exits non-zero when any target crashed.
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
build=${ORVIK_FUZZ_BUILD_DIR:-$top/build-fuzz}
seconds=${ORVIK_FUZZ_LONG_SECONDS:-300}
parallel=${ORVIK_FUZZ_JOBS:-1}

if [ "${ORVIK_FUZZ_SKIP_BUILD:-0}" != 1 ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVIK_FUZZ=ON \
    >/dev/null && cmake --build "$build" -j"$(nproc)" --target fuzzers >"$build.log" 2>&1 ||
    { tail -n 40 "$build.log"; echo "fuzz build failed"; exit 1; }
fi
manifest=$build/tests/fuzz/fuzz-targets.tsv
logs=$build/tests/fuzz/logs
mkdir -p "$logs"
started=$logs/.started  # crash inputs of earlier runs are not counted again
touch "$started"

run_target() { # name exe env options inputs
  local name=$1 exe=$2 env=$3 options=$4 inputs=$5
  local -a envs opts ins
  IFS=';' read -r -a envs <<<"$env"
  IFS=';' read -r -a opts <<<"$options"
  IFS=';' read -r -a ins <<<"$inputs"
  env "${envs[@]}" "$exe" -max_total_time="$seconds" -print_final_stats=1 "${opts[@]}" "${ins[@]}" \
    >"$logs/$name.log" 2>&1
}

selected=("$@")
running=0
while IFS=$'\t' read -r name exe env options inputs; do
  [ -n "$name" ] || continue
  if ((${#selected[@]})) && ! printf '%s\n' "${selected[@]}" | grep -qx "$name"; then
    continue
  fi
  echo "fuzzing $name for ${seconds}s"
  run_target "$name" "$exe" "$env" "$options" "$inputs" &
  running=$((running + 1))
  if ((running >= parallel)); then
    wait -n
    running=$((running - 1))
  fi
done <"$manifest"
wait

status=0
printf '%-18s %8s %12s %8s %8s %8s\n' target seconds executions cov ft crashes
while IFS=$'\t' read -r name _; do
  log=$logs/$name.log
  [ -f "$log" ] || continue
  if ((${#selected[@]})) && ! printf '%s\n' "${selected[@]}" | grep -qx "$name"; then
    continue
  fi
  execs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$log" | tail -n 1)
  cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -n 1 | grep -oE '[0-9]+')
  ft=$(grep -oE 'ft: [0-9]+' "$log" | tail -n 1 | grep -oE '[0-9]+')
  crashes=$(find "$build/tests/fuzz/crashes/$name" -type f -newer "$started" 2>/dev/null | wc -l)
  if grep -qE '^==[0-9]+==ERROR|^SUMMARY: |runtime error:|deadly signal' "$log"; then
    crashes=$((crashes > 0 ? crashes : 1))
  fi
  ((crashes == 0)) || status=1
  printf '%-18s %8s %12s %8s %8s %8s\n' "$name" "$seconds" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$crashes"
done <"$manifest"
exit $status
