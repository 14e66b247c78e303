#!/bin/sh
# Prints the table of real-file-system figures: family, image size, what ReadUsage reports and
# the file system's own figures. Run as root, with the build directory as the argument
# (default build), after building realfs_usage_test.
build=${1:-build}
bin=$(find "$build" -name realfs_usage_test -type f -perm -u+x | head -n 1)
if [ -z "$bin" ]; then
    echo "realfs_usage_test not found under $build; build it first" >&2
    exit 2
fi
"$bin" -silent | sed -n '/^family |/,/^(bytes)$/p'
