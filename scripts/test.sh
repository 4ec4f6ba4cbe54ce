#!/usr/bin/env bash
# Builds Kelvorin and runs its tests. Exits non-zero when anything fails.
#
#   scripts/test.sh --quick   the everyday loop: the native build and its tests
#                             (unit, end-to-end, differential, and the replay
#                             of the fuzz seeds)
#   scripts/test.sh           everything, as CI runs it: the quick loop, the
#                             install tree, library consumers and packages
#                             (tests/package/run.sh), the tests under
#                             AddressSanitizer, UBSan and ThreadSanitizer,
#                             bounded fuzz runs, and the Windows build under Wine
#   FUZZ_SECONDS=10 scripts/test.sh   shorter fuzz runs
#
# It first checks that the Debian packages it needs are there. As root it
# installs the missing ones; otherwise it names them and stops. Steps that
# cannot run without root are skipped and named at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
mode=full
case ${1:-} in
--quick) mode=quick ;;
"") ;;
*) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
esac

# --- what the steps need ----------------------------------------------------------
# need MODE PACKAGE KIND WHAT: the Debian package PACKAGE is needed (by the
# quick loop and the full run, or by the full run only) and is there when the
# command (KIND cmd), the file (file) or a file matching the pattern (glob)
# WHAT exists.
missing=()
need() {
    local for=$1 package=$2 kind=$3 what=$4
    [ "$for" = quick ] || [ "$mode" = full ] || return 0
    case $kind in
    cmd) command -v "$what" >/dev/null && return ;;
    file) [ -e "$what" ] && return ;;
    glob) compgen -G "$what" >/dev/null && return ;;
    esac
    missing+=("$package")
}
need quick cmake cmd cmake
need quick g++ cmd g++
need quick googletest glob '/usr/src/googletest/CMakeLists.txt'
# kelvorin-info's PNG compressor; the tests read the pictures back with zlib
# too. The full run renders the figure in Chromium and drives the HTML page
# there through WebDriver; the quick loop does without them (those tests are
# then listed as skipped).
need quick zlib1g-dev file /usr/include/zlib.h
need full chromium cmd chromium
# Other programs' readers of kelvorin-info's TIFF and GSF files: libtiff's
# tools, GDAL and tifffile. The quick loop does without the missing ones
# (their tests are then listed as skipped).
need full libtiff-tools cmd tiffdump
need full gdal-bin cmd gdalinfo
need full python3-gdal file /usr/lib/python3/dist-packages/osgeo/__init__.py
need full python3-tifffile file /usr/lib/python3/dist-packages/tifffile/__init__.py
need full chromium-driver cmd chromedriver
need full python3-selenium file /usr/lib/python3/dist-packages/selenium/__init__.py
need full clang cmd clang++
need full libclang-rt-14-dev glob '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a'
need full g++-mingw-w64-x86-64-posix cmd x86_64-w64-mingw32-g++-posix
need full libz-mingw-w64-dev file /usr/x86_64-w64-mingw32/include/zlib.h
need full wine cmd wine
need full wine64 file /usr/lib/wine/wine64
# The package test: man page lint, pkg-config, the .deb tools and lintian.
need full groff-base cmd groff
need full mandoc cmd mandoc
need full man-db cmd man
need full pkg-config cmd pkg-config
need full dpkg-dev cmd dpkg-shlibdeps
need full lintian cmd lintian
# Library consumers in other languages: C# through P/Invoke.
need full mono-mcs cmd mcs
need full mono-runtime cmd mono
# The Python module and its tests (Debian's interpreter with pybind11, numpy
# and pytest); its wheel and package test: the wheel's build tools and venv.
need quick pybind11-dev file /usr/lib/cmake/pybind11/pybind11Config.cmake
need quick python3-pybind11 file /usr/lib/python3/dist-packages/pybind11/__init__.py
need quick python3-dev glob '/usr/include/python3*/Python.h'
need quick python3-numpy file /usr/lib/python3/dist-packages/numpy/__init__.py
need quick python3-pytest file /usr/lib/python3/dist-packages/pytest/__init__.py
need full python3-build file /usr/lib/python3/dist-packages/build/__init__.py
need full python3-setuptools file /usr/lib/python3/dist-packages/setuptools/__init__.py
need full python3-wheel file /usr/lib/python3/dist-packages/wheel/__init__.py
need full python3-venv glob '/usr/lib/python3*/ensurepip/__init__.py'
# The package's type stubs, checked with mypy (the quick loop skips that
# test without it).
need full python3-mypy file /usr/lib/python3/dist-packages/mypy/__init__.py

install_missing() {
    [ ${#missing[@]} -gt 0 ] || return 0
    if [ "$(id -u)" != 0 ]; then
        echo "missing Debian packages: ${missing[*]}" >&2
        echo "install them with:  sudo apt-get install ${missing[*]}" >&2
        exit 1
    fi
    echo "== installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}
install_missing

# --- bookkeeping --------------------------------------------------------------------
step() { echo; echo "== $*"; }
# Steps and tests skipped: one line each, "what: why", also from
# tests/package/run.sh (through KELVORIN_SKIPPED).
export KELVORIN_SKIPPED=$root/build/skipped.txt
mkdir -p build && : >"$KELVORIN_SKIPPED"
skip() { echo "skipped: $2 ($1)"; echo "$1: $2" >>"$KELVORIN_SKIPPED"; }

# ctest, then every test it skipped (GTEST_SKIP) into the list, with the
# reason the test gave (from ctest's JUnit report).
run_ctest() { # build folder, ctest arguments...
    local build=$1 rc=0
    shift
    ctest --test-dir "$build" -j "$jobs" --output-on-failure --output-junit ctest.xml "$@" || rc=$?
    awk -v build="$build" '
        /<testcase name="/ {
            match($0, /name="[^"]*"/); name = substr($0, RSTART + 6, RLENGTH - 7)
            notrun = $0 ~ /status="notrun"/; reason = ""; grab = 0; next
        }
        notrun && grab { reason = $0; grab = 0 }
        notrun && /: Skipped$/ { grab = 1 }
        notrun && /<\/testcase>/ {
            print build " " name ": " (reason == "" ? "skipped" : reason); notrun = 0
        }' "$build/ctest.xml" >>"$KELVORIN_SKIPPED"
    return $rc
}

# --- steps ------------------------------------------------------------------------
native() {
    step "native build (warnings are errors)"
    cmake -S . -B build/native -DCMAKE_BUILD_TYPE=Release -DKELVORIN_WERROR=ON >/dev/null
    cmake --build build/native -j "$jobs"
    step "native tests"
    run_ctest build/native
}

packages() {
    step "install, library consumers, man pages and .deb packages"
    bash tests/package/run.sh native build/native
}

bench_smoke() {
    step "benchmark smoke run (tiny inputs; the real benchmark is bench/run.sh)"
    BENCH_QUIET_WAIT=0 bash bench/run.sh --smoke
}

sanitizers() {
    step "AddressSanitizer + UndefinedBehaviorSanitizer build"
    cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
          -DKELVORIN_SANITIZE=ON -DKELVORIN_WERROR=ON >/dev/null
    cmake --build build/asan -j "$jobs"
    step "tests under sanitizers"
    ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        run_ctest build/asan
}

threads() {
    step "ThreadSanitizer build of the run's tests"
    cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
          -DKELVORIN_SANITIZE_THREAD=ON -DKELVORIN_WERROR=ON >/dev/null
    cmake --build build/tsan -j "$jobs" --target rss_tests reliability_tests
    step "the run's tests under ThreadSanitizer"
    # The band queue, the differential test and the reliability tests; the
    # damaged-input loops (thousands of runs, each starting a thread) are left
    # to the other builds, as they take minutes under ThreadSanitizer.
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 timeout 600 build/tsan/tests/rss_tests
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 timeout 600 \
        build/tsan/tests/reliability_tests --gtest_filter=-DamagedInput.*
}

fuzzing() {
    step "fuzz targets (${FUZZ_SECONDS} s each)"
    cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
          -DKELVORIN_FUZZ=ON -DKELVORIN_TESTS=OFF >/dev/null
    cmake --build build/fuzz -j "$jobs"
    FUZZ_SECONDS=$FUZZ_SECONDS bash fuzz/run.sh build/fuzz
}

windows() {
    step "Windows build (MinGW-w64) and tests under Wine"
    # The same Wine settings as the tests get from the toolchain file.
    export WINEPREFIX="$root/build/windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES=winedbg.exe=d
    cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
          -DCMAKE_BUILD_TYPE=Release -DKELVORIN_WERROR=ON >/dev/null
    # The first Wine start creates the prefix, which takes a while: do it
    # alongside the build so that no test pays for it.
    wine cmd /c exit >"$root/build/windows/wineboot.log" 2>&1 &
    local wineboot_pid=$!
    cmake --build build/windows -j "$jobs"
    wait "$wineboot_pid" || { cat "$root/build/windows/wineboot.log"; exit 1; }

    step "kelvorin.exe, kelvorin-info.exe and kelvorin.dll import only system DLLs"
    local exe dlls
    for exe in build/windows/tool/kelvorin.exe build/windows/info/kelvorin-info.exe \
               build/windows/kelvorin.dll; do
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
    # A test that Wine itself could not run (its client lost the server, it
    # refused to start a program, or the program ended without a word of
    # output, which no test does) is run once more; any other failure stands.
    local winelog=$root/build/windows/ctest.log rc
    set +e
    run_ctest build/windows 2>&1 | tee "$winelog"
    rc=${PIPESTATUS[0]}
    set -e
    if [ "$rc" != 0 ]; then
        # The failed tests whose output does not look like Wine's own failure.
        local real
        real=$(awk '
            /<testcase name="/ {
                fail = $0 ~ /status="fail"/; text = ""
                match($0, /name="[^"]*"/); name = substr($0, RSTART + 6, RLENGTH - 7)
            }
            fail { text = text $0 "\n" }
            fail && /<\/testcase>/ {
                wine = text ~ /<system-out><\/system-out>/ ||
                       text ~ /wine client error|could not start /
                if (!wine) print name
                fail = 0
            }' build/windows/ctest.xml)
        if [ -n "$real" ]; then
            echo "== failed under Wine: $real" | tr '\n' ' '; echo
            exit 1
        fi
        echo "== Wine failed to run a test: running the failed tests once more"
        ctest --test-dir build/windows --rerun-failed --output-on-failure
    fi

    step "same results on Linux and Windows"
    bash scripts/compare_windows.sh
}

# --- the run ------------------------------------------------------------------------
native
if [ "$mode" = full ]; then
    packages
    bench_smoke
    sanitizers
    threads
    fuzzing
    windows
fi

step "all tests passed ($mode)"
if [ -s "$KELVORIN_SKIPPED" ]; then
    echo "skipped: $(wc -l <"$KELVORIN_SKIPPED"), of them $(grep -c 'needs root' "$KELVORIN_SKIPPED" || true) for want of root:"
    sed 's/^/  /' "$KELVORIN_SKIPPED"
fi
