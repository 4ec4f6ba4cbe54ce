#!/usr/bin/env bash
# A fuzzing soak: every target for half an hour (FUZZ_SECONDS), with one
# worker per core (FUZZ_JOBS), building the fuzz targets first. The corpus
# grows across soaks in <build-dir>/fuzz/work/<name>/corpus; copy inputs
# worth keeping into fuzz/seeds/<name>/.
#
#   fuzz/run-long.sh                 build in build/fuzz-long, 1800 s per target
#   FUZZ_SECONDS=7200 fuzz/run-long.sh build/fuzz-soak
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/fuzz-long}
export FUZZ_SECONDS=${FUZZ_SECONDS:-1800}
export FUZZ_JOBS=${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
      -DKELVORIN_FUZZ=ON -DKELVORIN_TESTS=OFF >/dev/null
cmake --build "$build" -j "$FUZZ_JOBS"
exec bash fuzz/run.sh "$build"
