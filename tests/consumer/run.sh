#!/usr/bin/env bash
# Builds this project against an installed library and runs its tests (CTest).
#
#   tests/consumer/run.sh PREFIX [BUILD_DIR]
#
# PREFIX is the installation to use: /usr for the packages, or a staged copy such as
# $DESTDIR/usr. BUILD_DIR defaults to a temporary directory that is removed afterwards.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
prefix=$1
build=${2:-}
if [ -z "$build" ]; then
  build=$(mktemp -d)
  trap 'rm -rf "$build"' EXIT
fi

for dir in "$prefix"/lib/pkgconfig "$prefix"/lib/*/pkgconfig; do
  if [ -e "$dir/orvik-recovery-utils.pc" ]; then
    export PKG_CONFIG_PATH="$dir${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
  fi
done

cmake -S "$here" -B "$build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"
cd "$build"
ctest --output-on-failure
