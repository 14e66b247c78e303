#!/bin/bash
# A real program, only logged: the simulated machine puts this script first on PATH under
# the program's name. One record per call: the argv fields each ended by \037, the record
# by \036 (a shell starts far faster than the Python of the fake programs).
name=${0##*/}
if [ -z "$SIMMACHINE_NOLOG" ]; then
    printf -v record '%s\037' "$name" "$@"
    printf '%s\036' "$record" >>/run/simmachine/programs.log
fi
fakes=/run/simmachine/bin
IFS=:
for dir in $PATH; do
    if [ -n "$dir" ] && [ "$dir" != "$fakes" ] && [ -f "$dir/$name" ] && [ -x "$dir/$name" ]; then
        unset IFS
        exec -a "$name" "$dir/$name" "$@"
    fi
done
echo "$name: command not found" >&2
exit 127
