#!/usr/bin/env bash
# Fails when a folder includes a header of a folder above it. The layers, lowest first; folders on
# one line are peers and may not include each other either.
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"
layers=(
    "core"
    "platform"
    "textio"
    "keywords filelist"
    "engine"
    "run"
    "gui cli"
)
declare -A rank
for i in "${!layers[@]}"; do
    for folder in ${layers[$i]}; do rank[$folder]=$i; done
done

status=0
for folder in "${!rank[@]}"; do
    [ -d "$folder" ] || { echo "missing layer folder: $folder" >&2; status=1; continue; }
    while IFS=: read -r file line include; do
        target=$(sed -E 's/.*#include "([^/"]+)\/.*/\1/' <<<"$include")
        [ "$target" = "$folder" ] && continue
        if [ -z "${rank[$target]+set}" ]; then
            echo "$file:$line: includes from $target/, which is not a layer" >&2
            status=1
        elif [ "${rank[$target]}" -ge "${rank[$folder]}" ]; then
            echo "$file:$line: $folder/ may not include $target/ (same layer or above)" >&2
            status=1
        fi
    done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' "$folder" \
                 --include='*.h' --include='*.cpp' | sed -E 's/^([^:]+):([0-9]+):/\1:\2:/')
done
[ $status -eq 0 ] && echo "layers: every include points down"
exit $status
