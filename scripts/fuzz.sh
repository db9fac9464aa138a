#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each briefly on its seed corpus.
#   FUZZ_TOTAL_SECONDS   seconds for all targets together, shared out evenly (default 60)
#   FUZZ_SECONDS         seconds per target instead, when set
#   VARNOBIS_FUZZ_BUILD_DIR  the build folder (default build-fuzz in the source tree)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VARNOBIS_FUZZ_BUILD_DIR:-$root/build-fuzz}
bash "$root/scripts/deps.sh" fuzz
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS="$flags" \
    -DVARNOBIS_FUZZ=ON -DVARNOBIS_BUILD_TESTS=OFF -DVARNOBIS_BUILD_BENCH=OFF >/dev/null
targets=$(sed -n 's/^varnobis_fuzzer(\([a-z_0-9]*\) .*/\1/p' "$root/tests/fuzz/CMakeLists.txt")
cmake --build "$build" -j "$(nproc)" --target $targets
count=$(echo $targets | wc -w)
seconds=${FUZZ_SECONDS:-$(( ${FUZZ_TOTAL_SECONDS:-60} / count ))}
[ "$seconds" -ge 1 ] || seconds=1
total=0
for t in $targets; do
    corpus="$build/corpus/${t#fuzz_}"
    mkdir -p "$corpus"
    seeds="$root/tests/fuzz/corpus/${t#fuzz_}"
    [ -d "$seeds" ] && cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true
    log="$build/$t.log"
    if ! "$build/tests/fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 \
            -artifact_prefix="$build/$t-" "$corpus" >"$log" 2>&1; then
        tail -n 40 "$log"
        echo "fuzz target $t failed"
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    echo "fuzz: $t ran ${runs:-?} inputs without a fault"
    total=$((total + ${runs:-0}))
done
echo "fuzz: $total inputs in all"
