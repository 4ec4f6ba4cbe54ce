#!/usr/bin/env bash
# Times kelvorin-info on two 4096 x 3000 maps: workload I1, a smooth surface
# with a little noise, and I2, noise (standard-deviation maps come close to
# it; the worst case for the picture's compression). For each: the report
# alone, with the picture, the figure, both, the page, the table, the float
# TIFF and the Gwyddion Simple Field file, with the size of each output
# beside its time; then the page's size against the raw int32 counts, and,
# where Chromium, chromedriver and python3-selenium are installed, the
# seconds headless Chromium takes to show the page ready and to answer the
# first readout (one run, a fresh browser).
#
#   bench/info.sh        median of RUNS runs (default 5) of each
#
# Inputs and outputs live in $BENCH_DIR (default build/bench/scratch);
# BENCH_BUILD=dir builds somewhere else than build/bench.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-5}
build=${BENCH_BUILD:-build/bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELVORIN_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target kelvorin-info bench_gen bench_measure >/dev/null
info=$PWD/$build/info/kelvorin-info
measure=$PWD/$build/bench/bench_measure
scratch=${BENCH_DIR:-$PWD/$build/scratch}

printf '%-28s %8s %10s %12s\n' run seconds peak_MiB output_bytes
pages=()
time_it() { # label, output file or -, arguments...
    local label=$1 output=$2 s kib bytes=-
    shift 2
    [ "$output" = - ] || rm -f "$output"
    read -r s kib < <("$measure" "$runs" "$info" "$@")
    [ "$output" = - ] || bytes=$(wc -c <"$output")
    awk -v l="$label" -v s="$s" -v k="$kib" -v b="$bytes" \
        'BEGIN { printf "%-28s %8.3f %10.1f %12s\n", l, s, k / 1024, b }'
}
for workload in I1 I2; do
    dir=$scratch/$workload
    if [ ! -f "$dir/.complete" ]; then
        rm -rf "$dir" && mkdir -p "$dir"
        "$build/bench/bench_gen" "$dir" "$workload"
        touch "$dir/.complete"
    fi
    input=$dir/in0000.dat
    cat "$input" >/dev/null # warm the page cache
    time_it "$workload report" - "$input"
    time_it "$workload report + picture" "$dir/out.png" --png "$dir/out.png" "$input"
    time_it "$workload json + picture" "$dir/out.png" --json --png "$dir/out.png" "$input"
    time_it "$workload report + figure" "$dir/out.svg" --svg "$dir/out.svg" "$input"
    time_it "$workload picture + figure" "$dir/out.svg" --png "$dir/out.png" --svg "$dir/out.svg" "$input"
    time_it "$workload report + page" "$dir/out.html" --html "$dir/out.html" "$input"
    time_it "$workload report + table" "$dir/out.csv" --csv "$dir/out.csv" "$input"
    time_it "$workload report + TIFF" "$dir/out.tif" --tiff "$dir/out.tif" "$input"
    time_it "$workload report + GSF" "$dir/out.gsf" --gsf "$dir/out.gsf" "$input"
    pages+=("$workload:$dir/out.html")
done
echo
for entry in "${pages[@]}"; do
    workload=${entry%%:*} page=${entry#*:}
    read -r w h < <("$info" --json "$scratch/$workload/in0000.dat" | /usr/bin/python3 -c \
        'import json, sys; p = json.load(sys.stdin)[0]["phase"]; print(p["width"], p["height"])')
    awk -v l="$workload" -v p="$(wc -c <"$page")" -v r="$((4 * w * h))" \
        'BEGIN { printf "%s page %d bytes, raw int32 counts %d bytes: %.2f times\n", l, p, r, p / r }'
    if command -v chromium >/dev/null && command -v chromedriver >/dev/null &&
        /usr/bin/python3 -c 'import selenium, numpy' 2>/dev/null; then
        read -r ready answered inside _ < <(/usr/bin/python3 tests/info/page_check.py --time "$page")
        echo "$workload page in headless Chromium: ready after $ready s, first readout after" \
            "$answered s ($inside s from the navigation's start to ready)"
    else
        echo "$workload page in headless Chromium: not timed (needs chromium, chromium-driver, python3-selenium)"
    fi
done
