#!/usr/bin/env bash
# Times the tool, per workload, against two references on the same files:
# the floor (bench_floor: every input read once through one reused buffer,
# then a file as long as the run's output written) and `cat` of the inputs.
#
#   bench/run.sh              W1, W2 and W3 (about 1.2 GB of scratch inputs)
#   bench/run.sh W1 W4        the workloads named (W4: 2 x 16000^2, 2 GB more)
#   bench/run.sh --smoke      tiny inputs, one run each (a quick check that it works)
#   bench/run.sh --cold W1 ...
#                             the same with the page cache dropped before every
#                             run (as root): the tool against cat, each
#                             reading from the disk
#   bench/run.sh --budget W1 ...
#                             the run with its uncertainty budget, and the
#                             budget alone (nothing written), against the run
#                             without (bench_variant)
#   bench/run.sh --mechanisms W1 ...
#                             the run with each of its mechanisms switched
#                             off in turn (bench_variant), against the run
#                             with all of them (BENCH_MODES="all one-worker"
#                             picks the variants); each variant's run starts
#                             with the output of the one before written back
#
# Inputs are generated once into $BENCH_DIR (default build/bench/scratch).
# KELVORIN_BIN=path times another build of the tool on the same inputs;
# KELVORIN_BASE=path times a second build beside it (say, the last release),
# and adds its ratio to the floor and new/base. BENCH_BUILD=dir builds
# somewhere else than build/bench. Other work on the machine disturbs the
# figures: each workload waits (up to BENCH_QUIET_WAIT seconds, default 120)
# until the processors have been idle for a second, and the idle share of
# that second is shown; the programs are then run in turn, RUNS rounds
# (default 5), so that a disturbance falls on all of them alike.
# For each workload it prints the medians of the tool, the floor and cat,
# the tool's ratio to each (median of the rounds' ratios, and their range),
# and the tool's peak resident memory.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-5}
workloads=()
mechanisms=
cold=
for a in "$@"; do
    case $a in
    --smoke) workloads=(SMOKE); runs=1 ;;
    --mechanisms) mechanisms=1 ;;
    --budget) mechanisms=1 BENCH_MODES=${BENCH_MODES:-"all budget budget-only"} ;;
    --cold) cold=1 ;;
    *) workloads+=("$a") ;;
    esac
done
[ ${#workloads[@]} -gt 0 ] || workloads=(W1 W2 W3)

build=${BENCH_BUILD:-build/bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELVORIN_TESTS=OFF >/dev/null
targets=(bench_gen bench_measure bench_floor bench_variant)
[ -n "${KELVORIN_BIN:-}" ] || targets+=(kelvorin) # built only when no other build is named
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >/dev/null
tool=${KELVORIN_BIN:-$PWD/$build/tool/kelvorin}
base=${KELVORIN_BASE:-}
measure=$PWD/$build/bench/bench_measure
floor=$PWD/$build/bench/bench_floor
variant=$PWD/$build/bench/bench_variant
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

if [ -n "$cold" ] && [ "$(id -u)" != 0 ]; then
    echo "bench/run.sh --cold drops the page cache, which needs root" >&2
    exit 1
fi
# One run of a command: "SECONDS PEAK_KIB"; from a cold page cache with --cold.
once() {
    if [ -n "$cold" ]; then
        sync
        echo 3 >/proc/sys/vm/drop_caches
    fi
    "$measure" 1 "$@"
}

# Median and range of a list of numbers: "MEDIAN MIN MAX".
stats() { tr ' ' '\n' | sort -g | awk 'NF { v[n++] = $1 } END {
    printf "%.3f %.3f %.3f\n", (n % 2 ? v[int(n / 2)] : (v[n / 2 - 1] + v[n / 2]) / 2), v[0], v[n - 1] }'; }
# Ratios a[i] / b[i] of two lists.
ratios() { paste -d' ' <(echo "$1" | tr ' ' '\n') <(echo "$2" | tr ' ' '\n') |
    awk 'NF == 2 && $2 > 0 { printf "%.4f ", $1 / $2 }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
# "median (min-max)".
show() { stats | awk '{ printf "%.2f (%.2f-%.2f)", $1, $2, $3 }'; }

prepare() { # workload: sets dir, files, out, inputs
    dir=$scratch/$1
    if [ ! -f "$dir/.complete" ]; then
        rm -rf "$dir" && mkdir -p "$dir"
        "$build/bench/bench_gen" "$dir" "$1"
        touch "$dir/.complete"
    fi
    files=("$dir"/in*.dat)
    out=$scratch/$1.out.dat
    if [ -f "$dir/list.txt" ]; then
        inputs=("@$dir/list.txt")
    else
        inputs=("${files[@]}")
    fi
    [ -n "$cold" ] || cat "${files[@]}" >/dev/null # warm the page cache
}

if [ -n "$mechanisms" ]; then
    read -r -a modes <<<"${BENCH_MODES:-all no-ahead one-by-one one-worker}"
    printf '%-6s %-17s %8s %20s %10s %6s\n' workload variant seconds vs_all peak_MiB idle%
    for w in "${workloads[@]}"; do
        prepare "$w"
        idle=$([ "$runs" -gt 1 ] && wait_quiet || echo "-")
        declare -A t=() p=()
        for ((r = 0; r < runs; r++)); do
            for m in "${modes[@]}"; do
                # No run pays for writing back the output of the one before.
                sync
                read -r s k < <(once "$variant" "$m" "$out" "${inputs[@]}")
                t[$m]="${t[$m]:-} $s"
                p[$m]=$(( k > ${p[$m]:-0} ? k : ${p[$m]:-0} ))
            done
        done
        for m in "${modes[@]}"; do
            read -r med _ < <(echo "${t[$m]}" | stats)
            printf '%-6s %-17s %8.3f %20s %10s %6s\n' "$w" "$m" "$med" \
                "$(ratios "${t[$m]}" "${t[all]}" | show)" "$(mib "${p[$m]}")" "$idle"
        done
        unset t p
    done
    exit 0
fi

header=(workload tool_s floor_s tool/floor cat_s tool/cat peak_MiB)
[ -z "$base" ] || header+=(base/floor new/base base_MiB)
printf '%-6s %8s %8s %18s %8s %9s %9s' "${header[@]:0:7}"
[ -z "$base" ] || printf ' %18s %18s %9s' "${header[@]:7}"
printf ' %6s\n' idle%
for w in "${workloads[@]}"; do
    prepare "$w"
    args=(-Overwrite -RssOut "$out" "${inputs[@]}")
    "$tool" "${args[@]}" >/dev/null
    out_bytes=$(wc -c <"$out")
    idle=$([ "$runs" -gt 1 ] && wait_quiet || echo "-")
    tool_t= base_t= floor_t= cat_t= peak=0 base_peak=0
    for ((r = 0; r < runs; r++)); do
        read -r s k < <(once "$tool" "${args[@]}")
        tool_t+=" $s" && peak=$((k > peak ? k : peak))
        if [ -n "$base" ]; then
            read -r s k < <(once "$base" "${args[@]}")
            base_t+=" $s" && base_peak=$((k > base_peak ? k : base_peak))
        fi
        read -r s _ < <(once "$floor" "$scratch/$w.floor.dat" "$out_bytes" "${inputs[@]}")
        floor_t+=" $s"
        read -r s _ < <(once cat "${files[@]}")
        cat_t+=" $s"
    done
    read -r tool_s _ < <(echo "$tool_t" | stats)
    read -r floor_s _ < <(echo "$floor_t" | stats)
    read -r cat_s _ < <(echo "$cat_t" | stats)
    printf '%-6s %8.3f %8.3f %18s %8.3f %9s %9s' "$w" "$tool_s" "$floor_s" \
        "$(ratios "$tool_t" "$floor_t" | show)" "$cat_s" \
        "$(ratios "$tool_t" "$cat_t" | stats | cut -d' ' -f1)" "$(mib "$peak")"
    if [ -n "$base" ]; then
        printf ' %18s %18s %9s' "$(ratios "$base_t" "$floor_t" | show)" \
            "$(ratios "$tool_t" "$base_t" | show)" "$(mib "$base_peak")"
    fi
    printf ' %6s\n' "$idle"
done
