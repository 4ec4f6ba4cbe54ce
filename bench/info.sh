#!/usr/bin/env bash
# Times kelvorin-info on a 4096 x 3000 map (workload I1: a smooth surface with
# a little noise): the report alone, with the picture, and with the table.
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
dir=${BENCH_DIR:-$PWD/$build/scratch}/I1
if [ ! -f "$dir/.complete" ]; then
    rm -rf "$dir" && mkdir -p "$dir"
    "$build/bench/bench_gen" "$dir" I1
    touch "$dir/.complete"
fi
input=$dir/in0000.dat
cat "$input" >/dev/null # warm the page cache

printf '%-22s %8s %10s\n' run seconds peak_MiB
time_it() { # label, arguments...
    local label=$1 s kib
    shift
    read -r s kib < <("$measure" "$runs" "$info" "$@")
    awk -v l="$label" -v s="$s" -v k="$kib" 'BEGIN { printf "%-22s %8.3f %10.1f\n", l, s, k / 1024 }'
}
time_it "report" "$input"
time_it "report + picture" --png "$dir/out.png" "$input"
time_it "json + picture" --json --png "$dir/out.png" "$input"
time_it "report + table" --csv "$dir/out.csv" "$input"
