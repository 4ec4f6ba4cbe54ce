#!/usr/bin/env bash
# Times the Python module on a 4096 x 3000 map (workload I1, one phase block)
# against the hand-written numpy reader, which checks nothing:
#   kelvorin.read(path)                                     header, checks, map
#   np.fromfile(path, ">i4", offset=834).astype(np.int32)   the map alone
#   DataFile.heights("nm")                                  one vectorised pass, with the mask
#
#   bench/python.sh      median of RUNS runs (default 7) of each, alternating
#
# Inputs live in $BENCH_DIR (default build/bench/scratch); BENCH_BUILD=dir
# builds somewhere else than build/bench.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-7}
build=${BENCH_BUILD:-build/bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELVORIN_TESTS=OFF -DKELVORIN_PYTHON=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target kelvorin_python bench_gen >/dev/null
python=$(sed -n 's/^Python3_EXECUTABLE:[A-Z]*=//p' "$build/CMakeCache.txt")
dir=${BENCH_DIR:-$PWD/$build/scratch}/I1
if [ ! -f "$dir/.complete" ]; then
    rm -rf "$dir" && mkdir -p "$dir"
    "$build/bench/bench_gen" "$dir" I1
    touch "$dir/.complete"
fi

PYTHONPATH=$PWD/$build/python "$python" - "$dir/in0000.dat" "$runs" <<'PY'
import statistics, sys, time
import numpy as np
import kelvorin

path, runs = sys.argv[1], int(sys.argv[2])
df = kelvorin.read(path)
assert df.header_bytes == 834 and df.intensity is None, "I1 must hold one phase block"
cases = {
    "kelvorin.read": lambda: kelvorin.read(path),
    "np.fromfile + astype": lambda: np.fromfile(path, ">i4", offset=834).astype(np.int32),
    "heights('nm')": lambda: df.heights("nm"),
}
assert np.array_equal(cases["np.fromfile + astype"]().reshape(df.phase.shape), df.phase)
times = {name: [] for name in cases}
for _ in range(runs):  # alternating, so that a disturbance hits every case alike
    for name, run in cases.items():
        start = time.perf_counter()
        run()
        times[name].append(time.perf_counter() - start)
w = df.phase_window
print(f"{w.width} x {w.height} phase map, median of {runs} runs")
print(f"{'case':<22} {'median s':>9} {'min s':>8} {'max s':>8}")
for name, t in times.items():
    print(f"{name:<22} {statistics.median(t):9.4f} {min(t):8.4f} {max(t):8.4f}")
ratio = statistics.median(times["kelvorin.read"]) / statistics.median(times["np.fromfile + astype"])
print(f"kelvorin.read / numpy reader: {ratio:.2f}")
PY
