#!/usr/bin/env bash
# Times the tool, per workload, against two references on the same files:
# the floor (bench_floor: every input read once through one reused buffer,
# then a file as long as the run's output written) and `cat` of the inputs.
#
#   bench/run.sh              W1, W2 and W3 (about 1.2 GB of scratch inputs)
#   bench/run.sh W1           one workload
#   bench/run.sh --smoke      tiny inputs, one run each (a quick check that it works)
#
# Inputs are generated once into $BENCH_DIR (default build/bench/scratch).
# KELVORIN_BIN=path times another build of the tool on the same inputs;
# BENCH_BUILD=dir builds somewhere else than build/bench. Other work on the
# machine disturbs the figures: each workload waits (up to BENCH_QUIET_WAIT
# seconds, default 120) until the processors have been idle for a second,
# and the idle share of that second is shown.
# For each workload it prints the median of RUNS runs (default 5) of the
# tool, of the floor and of cat, the tool's ratio to each, and the tool's
# peak resident memory.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-5}
workloads=()
for a in "$@"; do
    case $a in
    --smoke) workloads=(SMOKE); runs=1 ;;
    *) workloads+=("$a") ;;
    esac
done
[ ${#workloads[@]} -gt 0 ] || workloads=(W1 W2 W3)

build=${BENCH_BUILD:-build/bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELVORIN_TESTS=OFF >/dev/null
targets=(bench_gen bench_measure bench_floor)
[ -n "${KELVORIN_BIN:-}" ] || targets+=(kelvorin) # built only when no other build is named
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >/dev/null
tool=${KELVORIN_BIN:-$PWD/$build/tool/kelvorin}
measure=$PWD/$build/bench/bench_measure
floor=$PWD/$build/bench/bench_floor
scratch=${BENCH_DIR:-$PWD/$build/scratch}

# Percent of processor time idle over the next second (Linux /proc/stat).
idle_percent() {
    local a b
    read -r -a a < <(head -1 /proc/stat)
    sleep 1
    read -r -a b < <(head -1 /proc/stat)
    local total=0 i
    for i in 1 2 3 4 5 6 7 8; do total=$((total + b[i] - a[i])); done
    echo $((total > 0 ? 100 * (b[4] - a[4]) / total : 100))
}

# Waits until the machine is quiet; yields the idle percent last seen.
wait_quiet() {
    local idle=0 waited=0
    [ -r /proc/stat ] || { echo "?"; return; }
    while idle=$(idle_percent); [ "$idle" -lt 97 ] && [ "$waited" -lt "${BENCH_QUIET_WAIT:-120}" ]; do
        waited=$((waited + 1))
    done
    echo "$idle"
}

printf '%-6s %8s %8s %11s %8s %9s %10s %6s\n' \
    workload tool_s floor_s tool/floor cat_s tool/cat peak_MiB idle%
for w in "${workloads[@]}"; do
    dir=$scratch/$w
    if [ ! -f "$dir/.complete" ]; then
        rm -rf "$dir" && mkdir -p "$dir"
        "$build/bench/bench_gen" "$dir" "$w"
        touch "$dir/.complete"
    fi
    files=("$dir"/in*.dat)
    out=$scratch/$w.out.dat
    if [ -f "$dir/list.txt" ]; then
        inputs=("@$dir/list.txt")
    else
        inputs=("${files[@]}")
    fi
    args=(-Overwrite -RssOut "$out" "${inputs[@]}")
    cat "${files[@]}" >/dev/null # warm the page cache
    "$tool" "${args[@]}" >/dev/null
    out_bytes=$(wc -c <"$out")
    idle=$([ "$runs" -gt 1 ] && wait_quiet || echo "-")
    read -r tool_s peak_kib < <("$measure" "$runs" "$tool" "${args[@]}")
    read -r floor_s _ < <("$measure" "$runs" "$floor" "$scratch/$w.floor.dat" "$out_bytes" "${inputs[@]}")
    read -r cat_s _ < <("$measure" "$runs" cat "${files[@]}")
    awk -v w="$w" -v t="$tool_s" -v f="$floor_s" -v c="$cat_s" -v p="$peak_kib" -v i="$idle" \
        'BEGIN { printf "%-6s %8.3f %8.3f %11.2f %8.3f %9.2f %10.1f %6s\n", w, t, f, (f > 0 ? t / f : 0),
                 c, (c > 0 ? t / c : 0), p / 1024, i }'
done
