#!/usr/bin/env bash
# Builds Varnobis and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VARNOBIS_BUILD_DIR:-$root/build}
bash "$root/scripts/deps.sh" build
bash "$root/scripts/build.sh"
cd "$build"
ctest --output-on-failure --no-tests=error -j "$(nproc)" --timeout 600
