#!/usr/bin/env bash
# Runs every fuzz target built in <build-dir>/fuzz (executables named *_fuzz)
# for $FUZZ_SECONDS seconds each (default 60). Target <name>_fuzz starts from
# the seeds that <name>_seeds writes (when built) and those in
# fuzz/seeds/<name>/ (when present); its growing corpus and any crash inputs
# stay under <build-dir>/fuzz/work/<name>/. A dictionary fuzz/<name>.dict is
# used when present. Ends with one summary line per target (executions and
# the corpus reached). Exits non-zero when any target reports a crash, leak,
# timeout or sanitizer finding.
#
#   fuzz/run.sh build/fuzz
#   FUZZ_SECONDS=20 fuzz/run.sh build/fuzz
#   FUZZ_JOBS=4 fuzz/run.sh build/fuzz   4 worker processes per target (-fork)
set -uo pipefail

build=${1:?usage: fuzz/run.sh <build-dir>}
seconds=${FUZZ_SECONDS:-60}
jobs=${FUZZ_JOBS:-1}
src=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "$build/fuzz" 2>/dev/null && pwd) || { echo "no fuzz build in $build" >&2; exit 1; }

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

status=0
found=0
summary=()
for target in "$bin"/*_fuzz; do
    [ -f "$target" ] && [ -x "$target" ] || continue
    found=1
    name=$(basename "$target")
    name=${name%_fuzz}
    work="$bin/work/$name"
    mkdir -p "$work/corpus" "$work/artifacts" "$work/generated"

    dirs=("$work/corpus")
    if [ -x "$bin/${name}_seeds" ]; then
        if ! "$bin/${name}_seeds" "$work/generated"; then
            echo "== $name: seed generation failed" >&2
            status=1
            continue
        fi
        dirs+=("$work/generated")
    fi
    [ -d "$src/seeds/$name" ] && dirs+=("$src/seeds/$name")

    options=()
    [ -f "$src/$name.dict" ] && options+=(-dict="$src/$name.dict")
    [ "$jobs" -gt 1 ] && options+=(-fork="$jobs")

    echo "== fuzzing $name for ${seconds} s"
    log="$work/fuzz.log"
    result=passed
    # The target runs in its work folder: in fork mode libFuzzer keeps its
    # temporary files in the current directory.
    if (cd "$work" && "$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
        -artifact_prefix="$work/artifacts/" -print_final_stats=1 "${options[@]}" "${dirs[@]}") \
        >"$log" 2>&1; then
        grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || tail -n 3 "$log"
    else
        tail -n 60 "$log"
        echo "== $name FAILED (log: $log, inputs: $work/artifacts/)" >&2
        status=1
        result=FAILED
    fi
    # Executions: the final statistics, or in fork mode the last status line.
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    [ -n "$execs" ] || execs=$(sed -n 's/^#\([0-9][0-9]*\).*/\1/p' "$log" | tail -n 1)
    files=$(find "$work/corpus" -type f | wc -l)
    bytes=$(find "$work/corpus" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
    summary+=("$(printf '%-10s %s: %s executions in %s s, corpus %s inputs (%s bytes)' \
        "$name" "$result" "${execs:-?}" "$seconds" "$files" "$bytes")")
done

if [ ${#summary[@]} -gt 0 ]; then
    echo "== fuzzing summary"
    printf '%s\n' "${summary[@]}"
fi

if [ "$found" = 0 ]; then
    echo "no *_fuzz targets in $bin" >&2
    exit 1
fi
exit $status
