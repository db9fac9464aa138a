#!/usr/bin/env bash
# Configures and builds into build/ (or $VARNOBIS_BUILD_DIR). Arguments go to the build step.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VARNOBIS_BUILD_DIR:-$root/build}
# A checkout the user may only read (a system copy, another user's) cannot hold build/.
parent=$build
while [ ! -e "$parent" ]; do parent=$(dirname "$parent"); done
if [ ! -w "$parent" ]; then
    echo "Cannot write the build folder $build: $parent is not writable by $(id -un)." >&2
    echo "Set VARNOBIS_BUILD_DIR to a folder you can write, e.g. VARNOBIS_BUILD_DIR=\$HOME/varnobis-build" >&2
    exit 1
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" "$@"
