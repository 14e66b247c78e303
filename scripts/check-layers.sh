#!/usr/bin/env bash
# Fails when a lower layer of src/ includes a higher one, naming the file and the include.
# The layers, lowest first: a file may include its own layer and any layer before it.
# Change the rules here; a folder of src/ that no rule names is an error too.
layers=(
  "platform"    # the operating system and its services: disk service, mount table, processes
  "utils/core"  # helpers over the platform: program runner, file-system usage
  "utils"       # the library's queries and the background worker
  "tool"        # the command-line front end
)
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

# The rank of a path under src/: the index of the longest layer that prefixes it.
rank() {
  local best=-1 len=0 i
  for i in "${!layers[@]}"; do
    case "$1/" in
      "${layers[$i]}"/*) ((${#layers[$i]} > len)) && { best=$i; len=${#layers[$i]}; } ;;
    esac
  done
  echo "$best"
}

bad=0
while IFS= read -r line; do
  file=${line%%:*}
  target=$(sed -E 's/^[^:]*:[0-9]+:#include "([^"]+)".*/\1/' <<<"$line")
  from=$(rank "${file#src/}")
  to=$(rank "$target")
  [ -e "$top/src/$target" ] || continue  # a header of this folder or of Qt
  if ((from < 0)); then
    echo "check-layers: $file is in no layer" >&2
    bad=1
  elif ((to > from)); then
    echo "check-layers: $file includes \"$target\", a higher layer (${layers[$to]} over ${layers[$from]})" >&2
    bad=1
  fi
done < <(cd "$top" && git grep -n -E '^#include "' -- 'src/*.h' 'src/*.cpp')
if ((bad)); then exit 1; fi
echo "check-layers: every include of src/ points down"
