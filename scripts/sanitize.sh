#!/usr/bin/env bash
# Builds the whole test suite with AddressSanitizer and UndefinedBehaviorSanitizer and runs it.
# Any report fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VARNOBIS_ASAN_BUILD_DIR:-$root/build-asan}
bash "$root/scripts/deps.sh" build
flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" -DVARNOBIS_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"
export ASAN_OPTIONS="abort_on_error=0:halt_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout 900
