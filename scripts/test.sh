#!/usr/bin/env bash
# Builds Kelvorin and runs every test: the unit and end-to-end tests, the same
# tests under AddressSanitizer and UndefinedBehaviorSanitizer, bounded fuzz
# runs, and the Windows build under Wine. Installs what is missing (as root).
# Exits non-zero when anything fails.
#
#   scripts/test.sh            everything
#   FUZZ_SECONDS=10 scripts/test.sh   shorter fuzz runs
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)
FUZZ_SECONDS=${FUZZ_SECONDS:-60}

# --- tools ------------------------------------------------------------------
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v clang++ >/dev/null || need+=(clang)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
command -v wine >/dev/null || need+=(wine wine64)
if [ ${#need[@]} -gt 0 ]; then
    echo "== installing: ${need[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

step() { echo; echo "== $*"; }

# --- native build and tests ---------------------------------------------------
step "native build (warnings are errors)"
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=Release -DKELVORIN_WERROR=ON >/dev/null
cmake --build build/native -j "$jobs"
step "native tests"
ctest --test-dir build/native -j "$jobs" --output-on-failure

# --- sanitizers -----------------------------------------------------------------
step "AddressSanitizer + UndefinedBehaviorSanitizer build"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
      -DKELVORIN_SANITIZE=ON -DKELVORIN_WERROR=ON >/dev/null
cmake --build build/asan -j "$jobs"
step "tests under sanitizers"
ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build/asan -j "$jobs" --output-on-failure

# --- fuzzing ----------------------------------------------------------------------
if [ -f fuzz/CMakeLists.txt ]; then
    step "fuzz targets (${FUZZ_SECONDS} s each)"
    cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
          -DKELVORIN_FUZZ=ON -DKELVORIN_TESTS=OFF >/dev/null
    cmake --build build/fuzz -j "$jobs"
    FUZZ_SECONDS=$FUZZ_SECONDS bash fuzz/run.sh build/fuzz
fi

# --- Windows ---------------------------------------------------------------------
if [ -f cmake/mingw-w64.cmake ]; then
    step "Windows build (MinGW-w64) and tests under Wine"
    export WINEPREFIX="$root/build/windows/wineprefix" WINEDEBUG=-all
    cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
          -DCMAKE_BUILD_TYPE=Release -DKELVORIN_WERROR=ON >/dev/null
    cmake --build build/windows -j "$jobs"
    ctest --test-dir build/windows -j "$jobs" --output-on-failure
fi

step "all tests passed"
