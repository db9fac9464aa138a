#!/usr/bin/env bash
# Configures and builds into build/ (or $VARNOBIS_BUILD_DIR). Arguments go to the build step.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VARNOBIS_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" "$@"
