#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each briefly on its seed corpus.
#   FUZZ_SECONDS   seconds per target (default 10)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VARNOBIS_FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-10}
bash "$root/scripts/deps.sh" fuzz
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS="$flags" \
    -DVARNOBIS_FUZZ=ON -DVARNOBIS_BUILD_TESTS=OFF -DVARNOBIS_BUILD_BENCH=OFF >/dev/null
targets=$(sed -n 's/^varnobis_fuzzer(\([a-z_0-9]*\) .*/\1/p' "$root/tests/fuzz/CMakeLists.txt")
cmake --build "$build" -j "$(nproc)" --target $targets
total=0
for t in $targets; do
    corpus="$build/corpus/${t#fuzz_}"
    mkdir -p "$corpus"
    seeds="$root/tests/fuzz/corpus/${t#fuzz_}"
    [ -d "$seeds" ] && cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true
    log="$build/$t.log"
    if ! "$build/tests/fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 "$corpus" >"$log" 2>&1; then
        tail -n 40 "$log"
        echo "fuzz target $t failed"
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    echo "fuzz: $t ran ${runs:-?} inputs without a fault"
    total=$((total + ${runs:-0}))
done
echo "fuzz: $total inputs in all"
