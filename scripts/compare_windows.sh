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

# kelvorin-info: the same reports, the same picture, figure and page from both.
for mode in text json; do
    flag=$([ "$mode" = json ] && echo --json || true)
    (cd "$cmpdir/linux" && TZ=UTC "$root/build/native/info/kelvorin-info" $flag \
        --png info.png --svg info.svg --html info.html "$root/examples/stddev_a.dat" >info.txt)
    (cd "$cmpdir/windows" && TZ=UTC wine "$root/build/windows/info/kelvorin-info.exe" $flag \
        --png info.png --svg info.svg --html info.html "$root/examples/stddev_a.dat" >info.txt)
    tr -d '\r' <"$cmpdir/windows/info.txt" | cmp - "$cmpdir/linux/info.txt" ||
        { echo "kelvorin-info $mode: reports differ" >&2; exit 1; }
    cmp "$cmpdir/linux/info.png" "$cmpdir/windows/info.png" ||
        { echo "kelvorin-info: pictures differ" >&2; exit 1; }
    cmp "$cmpdir/linux/info.svg" "$cmpdir/windows/info.svg" ||
        { echo "kelvorin-info: figures differ" >&2; exit 1; }
    cmp "$cmpdir/linux/info.html" "$cmpdir/windows/info.html" ||
        { echo "kelvorin-info: pages differ" >&2; exit 1; }
    echo "kelvorin-info $mode: same"
done
