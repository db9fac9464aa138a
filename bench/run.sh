#!/usr/bin/env bash
# Runs every removal mode through the engine and through its peer tool on the same files, and
# prints one RESULT line per mode and input. Usage: bench/run.sh [--no-fsync] [megabytes]
#   --no-fsync  our runs skip the atomic writer's fsync (to show what it costs)
# BENCH_INPUTS and BENCH_MODES (space-separated) pick a subset, e.g. to repeat one case.
# Each timed run writes a fresh output file (the previous one is removed and everything is
# synced first, untimed), so neither tool pays for the other's writeback. Times are medians of
# 5 runs, taken alternately; rss_mib is our largest peak resident size over those runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VARNOBIS_BUILD_DIR:-$root/build}
data=$root/bench/data
nofsync=0
if [[ ${1:-} == --no-fsync ]]; then nofsync=1; shift; fi
megabytes=${1:-200}
runs=5

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target varnobis_bench >/dev/null
bench=$build/bench/varnobis_bench
mkdir -p "$data"
if [[ ! -f $data/corpus-8bit.txt || $(stat -c %s "$data/corpus-8bit.txt") -lt $((megabytes * 1000000)) ]]; then
    echo "generating a ${megabytes} MB corpus in $data" >&2
    "$bench" generate "$data" "$megabytes"
fi
preload=()
if ((nofsync)); then
    cc -O2 -shared -fPIC -o "$build/bench/nofsync.so" "$root/bench/nofsync.c"
    preload=(env "LD_PRELOAD=$build/bench/nofsync.so")
fi
needle=market
printf '%s' "$needle" | iconv -f UTF-8 -t UTF-16LE >"$data/needle-utf16.txt"
printf '\n' >>"$data/needle-utf16.txt"
cr=$'\r'

median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

# Sets PEER to the peer's command line for one case. On the UTF-16 copy grep reads bytes (-a)
# and the patterns are UTF-16 LE too; that is only a rough reference, the targets are on 8-bit.
peer_command() {
    local mode=$1 input=$2 wide=$3 a=() needle_arg=(-e "$needle")
    if ((wide)); then a=(-a); needle_arg=(-f "$data/needle-utf16.txt"); fi
    local kw=$data/keywords.txt
    ((wide)) && kw=$data/keywords-utf16.txt
    case $mode in
        contains) PEER=(env LC_ALL=C grep "${a[@]}" -F -v "${needle_arg[@]}" "$input") ;;
        not-contains) PEER=(env LC_ALL=C grep "${a[@]}" -F "${needle_arg[@]}" "$input") ;;
        icase-contains) PEER=(env LC_ALL=C grep "${a[@]}" -F -v -i "${needle_arg[@]}" "$input") ;;
        keywords-*) PEER=(env LC_ALL=C grep "${a[@]}" -F -v -f "$kw" "$input") ;;
        blank) PEER=(grep "${a[@]}" -v "^$cr\\?\$" "$input") ;;
        numbers) PEER=(sed "1d;2d;5d" "$input") ;;
    esac
}
peer_name() {
    case $1 in
        contains) echo "grep-F-v" ;; not-contains) echo "grep-F" ;; icase-contains) echo "grep-F-vi" ;;
        keywords-*) echo "grep-F-v-f" ;; blank) echo "grep-v" ;; numbers) echo "sed" ;;
    esac
}
our_argument() {
    case $1 in
        contains | not-contains | icase-contains) echo "$needle" ;;
        keywords-*) echo "$data/keywords.txt" ;;
        numbers) echo "1,2,5" ;;
        *) echo "" ;;
    esac
}

for input in ${BENCH_INPUTS:-8bit utf8bom utf16}; do
    file=$data/corpus-$input.txt
    wide=0
    [[ $input == utf16 ]] && wide=1
    size_mib=$(awk -v b="$(stat -c %s "$file")" 'BEGIN {printf "%.1f", b / 1048576}')
    for mode in ${BENCH_MODES:-contains not-contains icase-contains keywords-contains \
        keywords-not-contains blank numbers}; do
        ours=() peer=() rss=()
        arg=$(our_argument "$mode")
        peer_command "$mode" "$file" "$wide"
        for ((i = 0; i < runs; i++)); do
            rm -f "$data/out-ours.txt" "$data/out-peer.txt"
            sync
            read -r s kib < <("$bench" measure /dev/null "${preload[@]}" "$bench" run "$mode" \
                "$file" "$data/out-ours.txt" ${arg:+"$arg"} 2>/dev/null)
            ours+=("$s") rss+=("$kib")
            sync
            read -r s _ < <("$bench" measure "$data/out-peer.txt" "${PEER[@]}")
            peer+=("$s")
        done
        if [[ $input == 8bit && $mode =~ ^(contains|not-contains|icase-contains|keywords-contains|blank)$ ]]; then
            cmp -s "$data/out-ours.txt" "$data/out-peer.txt" ||
                echo "warning: $mode output differs from the peer's" >&2
        fi
        o=$(printf '%s\n' "${ours[@]}" | median)
        p=$(printf '%s\n' "${peer[@]}" | median)
        r=$(printf '%s\n' "${rss[@]}" | sort -n | tail -1)
        awk -v m="$mode" -v inp="$input" -v o="$o" -v pn="$(peer_name "$mode")" -v p="$p" \
            -v r="$r" -v sz="$size_mib" 'BEGIN {
            printf "RESULT mode=%s input=%s ours_s=%.3f peer=%s peer_s=%.3f ratio=%.2f rss_mib=%.1f size_mib=%s\n",
                m, inp, o, pn, p, o / p, r / 1024, sz }'
    done
done
rm -f "$data/out-ours.txt" "$data/out-peer.txt"
