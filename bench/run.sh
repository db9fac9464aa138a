#!/usr/bin/env bash
# Runs every removal mode through the engine and through its peer tools on the same files, and
# prints one RESULT line per row. Usage: bench/run.sh [--no-fsync] [megabytes]
#   --no-fsync  our runs skip the atomic writer's fsync (to show what it costs)
# BENCH_INPUTS and BENCH_MODES (space-separated) pick a subset, e.g. to repeat one case; the
# rows past the three inputs are named by mode alone: keywords-10 .. keywords-10000 (on a 20 MB
# part of the corpus) and small-files.
#
# Each row is timed four ways, alternately, 5 times: one engine call in a process of its own
# (ours_s), the same work as a whole `varnobis-cli` run, as a user times it (cli_s), and each
# peer. Single-file rows have grep and ripgrep as peers, the small-files row `sed -i` and
# `perl -i` over the same files with `find -exec ... +`; peer= names the faster one, and ratio=
# and cli_ratio= are against it. Each timed run writes a fresh output (the previous one is removed
# and everything is synced first, untimed), so no tool pays for another's writeback; in-place
# runs start from a fresh copy of the files. Times are medians; rss_mib and cli_rss_mib are our
# largest peak resident sizes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VARNOBIS_BUILD_DIR:-$root/build}
data=$root/bench/data
nofsync=0
if [[ ${1:-} == --no-fsync ]]; then nofsync=1; shift; fi
megabytes=${1:-200}
runs=5
small_files=5000

command -v rg >/dev/null || { echo "ripgrep (rg) is needed: scripts/deps.sh bench" >&2; exit 1; }
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target varnobis_bench varnobis-cli >/dev/null
bench=$build/bench/varnobis_bench
cli=$build/app/varnobis-cli
mkdir -p "$data"
if [[ ! -f $data/corpus-8bit.txt || ! -f $data/keywords-10000.txt ||
    $(stat -c %s "$data/corpus-8bit.txt") -lt $((megabytes * 1000000)) ]]; then
    echo "generating a ${megabytes} MB corpus in $data" >&2
    "$bench" generate "$data" "$megabytes"
    # The many-keyword rows read 20 MB, cut at a line's end; the small-files row about 16 KB
    # pieces of whole lines.
    head -c 20000000 "$data/corpus-8bit.txt" | sed '$d' >"$data/corpus-20mb.txt"
    rm -rf "$data/small"
    mkdir -p "$data/small"
    head -c $((small_files * 16000)) "$data/corpus-8bit.txt" | sed '$d' |
        split -C 16000 -d -a 5 --additional-suffix=.txt - "$data/small/f"
fi
preload=()
if ((nofsync)); then
    cc -O2 -shared -fPIC -o "$build/bench/nofsync.so" "$root/bench/nofsync.c"
    preload=(env "LD_PRELOAD=$build/bench/nofsync.so")
fi
printf '%s' market | iconv -f UTF-8 -t UTF-16LE >"$data/needle-utf16.txt"
printf '\n' >>"$data/needle-utf16.txt"
cr=$'\r'

median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

# A row: the engine mode (as `varnobis_bench run` names it), its text or keyword file, and the
# peers' arguments. Sets MODE, ARG, GREP, RG, CLI for row $1 on input
# file $2 (wide: UTF-16).
row() {
    local name=$1 input=$2 wide=$3 needle=market a=() needle_arg kw=""
    MODE=$name ARG=""
    case $name in
        icase-nonascii) MODE=icase-contains needle=zürich ;;
        not-contains-rare) MODE=not-contains needle=zephyr ;;
        keywords-frequent) MODE=keywords-contains kw=$data/keywords-frequent.txt ;;
        keywords-contains | keywords-not-contains) kw=$data/keywords.txt ;;
        keywords-[0-9]*) MODE=keywords-contains kw=$data/$name.txt ;;
    esac
    needle_arg=(-e "$needle")
    # On the UTF-16 copy grep reads bytes (-a) with UTF-16 LE patterns and ripgrep transcodes
    # the file to UTF-8 first; both are only a rough reference, the targets are on 8-bit.
    local gkw=$kw
    if ((wide)); then
        a=(-a)
        [[ $needle == market ]] && needle_arg=(-f "$data/needle-utf16.txt")
        [[ $kw == "$data/keywords.txt" ]] && gkw=$data/keywords-utf16.txt
    fi
    local rgbase=(rg --no-config --no-filename --no-line-number)
    case $MODE in
        contains) ARG=$needle
            GREP=(env LC_ALL=C grep "${a[@]}" -F -v "${needle_arg[@]}" "$input")
            RG=("${rgbase[@]}" -F -v -e "$needle" "$input")
            CLI=(--mode containing --text "$needle") ;;
        not-contains) ARG=$needle
            GREP=(env LC_ALL=C grep "${a[@]}" -F "${needle_arg[@]}" "$input")
            RG=("${rgbase[@]}" -F -e "$needle" "$input")
            CLI=(--mode not-containing --text "$needle") ;;
        icase-contains) ARG=$needle
            # grep folds non-ASCII letters only in a UTF-8 locale.
            local locale=C
            [[ $needle == market ]] || locale=C.UTF-8
            GREP=(env LC_ALL=$locale grep "${a[@]}" -F -v -i "${needle_arg[@]}" "$input")
            RG=("${rgbase[@]}" -F -v -i -e "$needle" "$input")
            CLI=(--mode containing --ignore-case --text "$needle") ;;
        keywords-contains) ARG=$kw
            GREP=(env LC_ALL=C grep "${a[@]}" -F -v -f "$gkw" "$input")
            RG=("${rgbase[@]}" -F -v -f "$kw" "$input")
            CLI=(--mode keywords --keywords-file "$kw") ;;
        keywords-not-contains) ARG=$kw
            # No one peer command keeps the lines holding every keyword; the containing form
            # reads the same text and is kept as the reference it has always been.
            GREP=(env LC_ALL=C grep "${a[@]}" -F -v -f "$gkw" "$input")
            RG=("${rgbase[@]}" -F -v -f "$kw" "$input")
            CLI=(--mode not-keywords --keywords-file "$kw") ;;
        blank)
            GREP=(grep "${a[@]}" -v "^$cr\\?\$" "$input")
            RG=("${rgbase[@]}" -v "^\\r?\$" "$input")
            CLI=(--mode blank) ;;
        numbers) ARG=1,2,5
            GREP=(sed "1d;2d;5d" "$input")
            RG=()
            CLI=(--mode line-numbers --lines 1,2,5) ;;
    esac
}

# Times one command: appends seconds and peak KiB to the named arrays.
timed() {
    local -n secs=$1 kib=$2
    local out=$3
    shift 3
    sync
    read -r s k < <("$bench" measure "$out" "$@" 2>/dev/null)
    secs+=("$s") kib+=("$k")
}

report() {  # name input ours-times ours-rss cli-times cli-rss peer1-name peer1-times [peer2...]
    local name=$1 input=$2 size=$3
    local -n o_t=$4 o_r=$5 c_t=$6 c_r=$7
    shift 7
    local best_name="" best=""
    while (($#)); do
        local pn=$1
        local -n pt=$2
        shift 2
        ((${#pt[@]})) || continue
        local m
        m=$(printf '%s\n' "${pt[@]}" | median)
        if [[ -z $best ]] || awk -v a="$m" -v b="$best" 'BEGIN {exit !(a < b)}'; then
            best=$m best_name=$pn
        fi
        unset -n pt
    done
    local o c r cr
    o=$(printf '%s\n' "${o_t[@]}" | median)
    c=$(printf '%s\n' "${c_t[@]}" | median)
    r=$(printf '%s\n' "${o_r[@]}" | sort -n | tail -1)
    cr=$(printf '%s\n' "${c_r[@]}" | sort -n | tail -1)
    awk -v m="$name" -v inp="$input" -v o="$o" -v pn="$best_name" -v p="$best" -v r="$r" \
        -v sz="$size" -v c="$c" -v cr="$cr" 'BEGIN {
        printf "RESULT mode=%s input=%s ours_s=%.3f peer=%s peer_s=%.3f ratio=%.2f rss_mib=%.1f size_mib=%s cli_s=%.3f cli_ratio=%.2f cli_rss_mib=%.1f\n",
            m, inp, o, pn, p, o / p, r / 1024, sz, c, c / p, cr / 1024 }'
}

wanted_mode() { [[ -z ${BENCH_MODES:-} || " $BENCH_MODES " == *" $1 "* ]]; }

single_file_row() {  # name input-label file wide
    local name=$1 label=$2 file=$3 wide=$4
    wanted_mode "$name" || return 0
    row "$name" "$file" "$wide"
    local ours=() ours_k=() clis=() cli_k=() greps=() grep_k=() rgs=() rg_k=()
    local cli_out=$data/cli-out base
    base=$(basename "$file")
    local size_mib
    size_mib=$(awk -v b="$(stat -c %s "$file")" 'BEGIN {printf "%.1f", b / 1048576}')
    for ((i = 0; i < runs; i++)); do
        rm -rf "$data/out-ours.txt" "$data/out-peer.txt" "$data/out-rg.txt" "$cli_out"
        mkdir -p "$cli_out"
        timed ours ours_k /dev/null "${preload[@]}" "$bench" run "$MODE" "$file" \
            "$data/out-ours.txt" ${ARG:+"$ARG"}
        timed clis cli_k /dev/null "${preload[@]}" "$cli" --quiet "${CLI[@]}" \
            --out-dir "$cli_out" "$file"
        timed greps grep_k "$data/out-peer.txt" "${GREP[@]}"
        if ((${#RG[@]})); then timed rgs rg_k "$data/out-rg.txt" "${RG[@]}"; fi
    done
    if [[ $label != utf* && $MODE =~ ^(contains|not-contains|icase-contains|keywords-contains|blank)$ ]]; then
        cmp -s "$data/out-ours.txt" "$data/out-peer.txt" ||
            echo "warning: $name output differs from grep's" >&2
    fi
    cmp -s "$data/out-ours.txt" "$cli_out/${base%.*}.txt" ||
        echo "warning: $name: the command line's output differs from the engine's" >&2
    local gname=grep
    [[ $MODE == numbers ]] && gname=sed
    report "$name" "$label" "$size_mib" ours ours_k clis cli_k "$gname" greps ripgrep rgs
}

for input in ${BENCH_INPUTS:-8bit utf8bom utf16}; do
    file=$data/corpus-$input.txt
    wide=0
    [[ $input == utf16 ]] && wide=1
    rows="contains not-contains icase-contains keywords-contains keywords-not-contains blank numbers"
    [[ $input == 8bit ]] && rows+=" keywords-frequent icase-nonascii not-contains-rare"
    for name in $rows; do single_file_row "$name" "$input" "$file" "$wide"; done
done

if [[ -z ${BENCH_INPUTS:-} || " $BENCH_INPUTS " == *" 8bit "* ]]; then
    for n in 10 100 1000 10000; do
        single_file_row "keywords-$n" 20mb "$data/corpus-20mb.txt" 0
    done
fi

# Many small files in place: "containing" over a folder against sed -i and perl -i. Every run
# starts from a fresh copy; the engine-only column is the command line here too.
if wanted_mode small-files; then
    work=$data/small-work
    ours=() ours_k=() seds=() sed_k=() perls=() perl_k=()
    count=$(find "$data/small" -type f | wc -l)
    size_mib=$(du -sm "$data/small" | cut -f1)
    fresh() { rm -rf "$work" && cp -r "$data/small" "$work"; }
    for ((i = 0; i < runs; i++)); do
        fresh
        timed ours ours_k /dev/null "${preload[@]}" "$cli" --quiet --mode containing \
            --text market --in-place "$work"
        cat "$work"/* | md5sum >"$data/small-ours.sum"
        fresh
        timed seds sed_k /dev/null find "$work" -type f -exec sed -i /market/d {} +
        cat "$work"/* | md5sum >"$data/small-peer.sum"
        fresh
        timed perls perl_k /dev/null find "$work" -type f -exec perl -i -ne \
            'print unless /market/' {} +
    done
    cmp -s "$data/small-ours.sum" "$data/small-peer.sum" ||
        echo "warning: small-files output differs from sed's" >&2
    rm -rf "$work"
    report small-files "${count}x8bit" "$size_mib" ours ours_k ours ours_k sed-i seds perl-i perls
fi
rm -rf "$data/out-ours.txt" "$data/out-peer.txt" "$data/out-rg.txt" "$data/cli-out" \
    "$data"/small-*.sum
