#!/bin/bash
# mounted-figures.sh <dir> <fill MiB> <mount program> [arguments...]
#
# Run inside a private mount namespace (unshare -m --propagation private), so the mount is seen
# by nothing else. Mounts with the program, its arguments and <dir>; when fill is above 0
# writes that many MiB in three files; prints "<fragment size> <total blocks> <free blocks>"
# from statvfs; unmounts, also when a step fails. With REALFS_PROBE set (a program and its
# arguments, split at blanks), also runs it while mounted and prints its output after.
set -eu
dir=$1
fill=$2
shift 2
mkdir -p "$dir"
"$@" "$dir"
trap 'umount "$dir"' EXIT
if [ "$fill" -gt 0 ]; then
    for part in 1 2 3; do
        head -c $((fill * 1048576 * part / 6)) /dev/urandom > "$dir/file$part"
    done
    sync
fi
stat -f -c '%S %b %f' "$dir"
if [ -n "${REALFS_PROBE:-}" ]; then
    $REALFS_PROBE
fi
