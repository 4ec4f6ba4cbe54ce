#!/usr/bin/env bash
# Runs the Linux and the Windows programs (under Wine) on the same inputs and
# compares their results. Needs finished builds in build/native and
# build/windows; scripts/test.sh runs it after the Windows tests.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
export WINEPREFIX=${WINEPREFIX:-$root/build/windows/wineprefix} WINEDEBUG=-all WINEDLLOVERRIDES=winedbg.exe=d

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

# The library from a C program: kelvorin.dll under Wine gives the same
# output and report as libkelvorin.so.2.
examples=("$root"/examples/stddev_{a,b,c}.dat)
(cd "$cmpdir/linux" && TZ=UTC "$root/build/native/c_consumer_shared" . "${examples[@]}" >/dev/null)
(cd "$cmpdir/windows" && TZ=UTC wine "$root/build/windows/c_consumer_shared.exe" . "${examples[@]}" >/dev/null)
for f in rss.dat report.txt copy.dat; do
    cmp "$cmpdir/linux/$f" "$cmpdir/windows/$f" || { echo "C consumer: $f differs" >&2; exit 1; }
done
echo "C consumer (libkelvorin.so.2 / kelvorin.dll): same"

# kelvorin-info: the same reports, the same picture, figure, page, TIFF and
# GSF files from both; the same budget table, JSON and figure of the
# examples; the TIFF and GSF files also of a 4096 x 3000 map, whose strips
# are compressed on two threads.
info_on_both() { # arguments (the inputs last)...
    (cd "$cmpdir/linux" && TZ=UTC "$root/build/native/info/kelvorin-info" "$@" >info.txt)
    (cd "$cmpdir/windows" && TZ=UTC wine "$root/build/windows/info/kelvorin-info.exe" "$@" \
        >info.txt)
    tr -d '\r' <"$cmpdir/windows/info.txt" | cmp - "$cmpdir/linux/info.txt" ||
        { echo "kelvorin-info $*: reports differ" >&2; exit 1; }
}
for mode in text json; do
    flag=$([ "$mode" = json ] && echo --json || true)
    info_on_both $flag --png info.png --svg info.svg --html info.html --tiff info.tif \
        --gsf info.gsf "$root/examples/stddev_a.dat"
    info_on_both --budget $flag --weights 1,0.5,2 --svg budget.svg "${examples[@]}"
    for f in info.png info.svg info.html info.tif info.gsf budget.svg; do
        cmp "$cmpdir/linux/$f" "$cmpdir/windows/$f" ||
            { echo "kelvorin-info: $f differs" >&2; exit 1; }
    done
    echo "kelvorin-info $mode, and its budget: same"
done
if [ -x build/native/bench/bench_gen ]; then
    mkdir -p "$cmpdir/large"
    build/native/bench/bench_gen "$cmpdir/large" I2 >/dev/null
    info_on_both --tiff large.tif --gsf large.gsf "$cmpdir/large/in0000.dat"
    for f in large.tif large.gsf; do
        cmp "$cmpdir/linux/$f" "$cmpdir/windows/$f" ||
            { echo "kelvorin-info: $f differs" >&2; exit 1; }
    done
    rm -rf "$cmpdir/large" "$cmpdir"/*/large.*
    echo "kelvorin-info, 4096 x 3000 map: same TIFF and GSF files"
fi
