#!/usr/bin/env bash
# Builds Kelvorin and runs every test: the unit and end-to-end tests, the
# install tree, library consumers and packages (tests/package/run.sh), the same
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
# kelvorin-info's PNG encoder and its compressor (Linux and Windows builds);
# the tests read the pictures back with zlib too.
[ -f /usr/include/stb/stb_image_write.h ] || need+=(libstb-dev)
[ -f /usr/include/zlib.h ] || need+=(zlib1g-dev)
[ -f /usr/x86_64-w64-mingw32/include/zlib.h ] || need+=(libz-mingw-w64-dev)
# The Python module, its tests, wheel and package: Debian's interpreter with
# pybind11, numpy, pytest and the wheel's build tools.
for package in pybind11-dev python3-pybind11 python3-dev python3-numpy python3-pytest \
               python3-build python3-setuptools python3-wheel python3-venv; do
    dpkg -s "$package" >/dev/null 2>&1 || need+=("$package")
done
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

step "install, library consumers, man pages and .deb packages"
bash tests/package/run.sh native build/native

step "benchmark smoke run (tiny inputs; the real benchmark is bench/run.sh)"
BENCH_QUIET_WAIT=0 bash bench/run.sh --smoke

# --- sanitizers -----------------------------------------------------------------
step "AddressSanitizer + UndefinedBehaviorSanitizer build"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
      -DKELVORIN_SANITIZE=ON -DKELVORIN_WERROR=ON >/dev/null
cmake --build build/asan -j "$jobs"
step "tests under sanitizers"
ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build/asan -j "$jobs" --output-on-failure

# --- threads ---------------------------------------------------------------------
step "ThreadSanitizer build of the run's tests"
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
      -DKELVORIN_SANITIZE_THREAD=ON -DKELVORIN_WERROR=ON >/dev/null
cmake --build build/tsan -j "$jobs" --target tool_tests reliability_tests
step "the run's tests under ThreadSanitizer"
# The band queue, the differential test and the reliability tests; the
# damaged-input loops (thousands of runs, each starting a thread) are left to
# the other builds, as they take minutes under ThreadSanitizer.
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
timeout 600 build/tsan/tests/tool_tests
timeout 600 build/tsan/tests/reliability_tests --gtest_filter=-DamagedInput.*
unset TSAN_OPTIONS

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
    # The same Wine settings as the tests get from the toolchain file.
    export WINEPREFIX="$root/build/windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES=winedbg.exe=d
    cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
          -DCMAKE_BUILD_TYPE=Release -DKELVORIN_WERROR=ON >/dev/null
    # The first Wine start creates the prefix, which takes a while: do it
    # alongside the build so that no test pays for it.
    wine cmd /c exit >"$root/build/windows/wineboot.log" 2>&1 &
    wineboot_pid=$!
    cmake --build build/windows -j "$jobs"
    wait "$wineboot_pid" || { cat "$root/build/windows/wineboot.log"; exit 1; }

    step "kelvorin.exe and kelvorin-info.exe import only system DLLs"
    for exe in build/windows/tool/kelvorin.exe build/windows/info/kelvorin-info.exe; do
        dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
        echo "$exe:" $dlls
        if echo "$dlls" | grep -viqE '^(kernel32|msvcrt|ntdll|advapi32|user32|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$'; then
            echo "$exe needs a DLL that Windows does not provide" >&2
            exit 1
        fi
    done

    step "Windows zip"
    bash tests/package/run.sh zip build/windows

    step "tests under Wine"
    # A test that Wine itself could not run (its client lost the server, or
    # it refused to start a program) is run once more; any other failure
    # stands.
    winelog=$root/build/windows/ctest.log
    set +e
    ctest --test-dir build/windows -j "$jobs" --output-on-failure 2>&1 | tee "$winelog"
    rc=${PIPESTATUS[0]}
    set -e
    if [ "$rc" != 0 ]; then
        grep -qE '^wine client error|^could not start ' "$winelog" || exit 1
        echo "== Wine failed to run a test: running the failed tests once more"
        ctest --test-dir build/windows --rerun-failed --output-on-failure
    fi

    step "same results on Linux and Windows"
    # Runs both programs on the same inputs, each in a folder of its own with
    # the same relative output name, and compares exit status, console texts
    # (Windows ends lines with CR LF) and output files byte for byte.
    cmpdir=$root/build/windows/compare
    rm -rf "$cmpdir" && mkdir -p "$cmpdir/linux" "$cmpdir/windows" "$cmpdir/inputs"
    same_on_both() { # label, arguments...
        local label=$1 rc_l=0 rc_w=0
        shift
        (cd "$cmpdir/linux" && rm -f rss.dat &&
            TZ=UTC "$root/build/native/tool/kelvorin" "$@" >out.txt 2>err.txt) || rc_l=$?
        (cd "$cmpdir/windows" && rm -f rss.dat &&
            TZ=UTC wine "$root/build/windows/tool/kelvorin.exe" "$@" >out.txt 2>err.txt) || rc_w=$?
        for f in out.txt err.txt; do
            if ! tr -d '\r' <"$cmpdir/windows/$f" | cmp -s - "$cmpdir/linux/$f"; then
                echo "$label: $f differs" >&2
                diff <(tr -d '\r' <"$cmpdir/windows/$f") "$cmpdir/linux/$f" >&2 || true
                return 1
            fi
        done
        if [ "$rc_l" != "$rc_w" ]; then
            echo "$label: exit status $rc_l on Linux, $rc_w on Windows" >&2
            return 1
        fi
        if [ -f "$cmpdir/linux/rss.dat" ] || [ -f "$cmpdir/windows/rss.dat" ]; then
            cmp "$cmpdir/linux/rss.dat" "$cmpdir/windows/rss.dat" || { echo "$label: output files differ" >&2; return 1; }
        fi
        echo "$label: same (exit status $rc_l)"
    }
    sets=()
    if compgen -G "examples/*.dat" >/dev/null; then
        sets+=("$root/examples")
    fi
    if [ -x build/native/bench/bench_gen ]; then
        build/native/bench/bench_gen "$cmpdir/inputs" SMOKE >/dev/null
        sets+=("$cmpdir/inputs")
    fi
    [ ${#sets[@]} -gt 0 ] || echo "no input files to compare"
    for dir in "${sets[@]}"; do
        files=("$dir"/*.dat)
        for f in "${files[@]}"; do
            same_on_both "$f" -Verbose -RssOut rss.dat "$f"
        done
        same_on_both "$dir (all)" -Verbose -PhaseRes Super -RssOut rss.dat "${files[@]}"
    done
    if [ -f "$cmpdir/inputs/list.txt" ]; then
        same_on_both "list file" -Verbose -RssOut rss.dat "@$cmpdir/inputs/list.txt"
    fi

    # kelvorin-info: the same reports and the same picture from both.
    for mode in text json; do
        flag=$([ "$mode" = json ] && echo --json || true)
        (cd "$cmpdir/linux" && TZ=UTC "$root/build/native/info/kelvorin-info" $flag \
            --png info.png "$root/examples/stddev_a.dat" >info.txt)
        (cd "$cmpdir/windows" && TZ=UTC wine "$root/build/windows/info/kelvorin-info.exe" $flag \
            --png info.png "$root/examples/stddev_a.dat" >info.txt)
        tr -d '\r' <"$cmpdir/windows/info.txt" | cmp - "$cmpdir/linux/info.txt" ||
            { echo "kelvorin-info $mode: reports differ" >&2; exit 1; }
        cmp "$cmpdir/linux/info.png" "$cmpdir/windows/info.png" ||
            { echo "kelvorin-info: pictures differ" >&2; exit 1; }
        echo "kelvorin-info $mode: same"
    done
fi

step "all tests passed"
