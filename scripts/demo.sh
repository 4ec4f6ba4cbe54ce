#!/usr/bin/env bash
# Builds Kelvorin and runs it with -Verbose -Overwrite on the example data
# files in examples/. The result is written to <build>/rss_example.dat, where
# <build> is build/demo unless DEMO_BUILD_DIR names another folder;
# examples/ itself is never written. Then kelvorin-info shows what the result
# holds, draws it as <build>/rss_example.png, makes the figure
# <build>/rss_example.svg (colour bar, scale bar and figures), the page
# <build>/rss_example.html, which explores the map in any browser, offline
# (the height under the pointer, zoom, line profiles, colour range,
# histogram and region statistics), and exports the heights for other
# programs as the float TIFF <build>/rss_example.tif (nm; ImageJ/Fiji,
# GDAL/QGIS, tifffile) and the Gwyddion Simple Field file
# <build>/rss_example.gsf (metres). Last, the uncertainty budget of the
# examples: which of them dominates the result, and where, as a table and
# as the figure <build>/budget_example.svg.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${DEMO_BUILD_DIR:-build/demo}

for tool in cmake c++; do
    if ! command -v "$tool" >/dev/null; then
        echo "demo.sh: '$tool' is needed to build the tool (scripts/test.sh, run as root, installs it)" >&2
        exit 1
    fi
done
# kelvorin-info's PNG compressor: installed when missing (as root).
missing=()
[ -f /usr/include/zlib.h ] || missing+=(zlib1g-dev)
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "demo.sh: kelvorin-info needs the Debian packages ${missing[*]}; install them" \
            "(or run this as root, which installs them)" >&2
        exit 1
    fi
    echo "== installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

echo "== building $build/tool/kelvorin and $build/info/kelvorin-info"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELVORIN_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target kelvorin kelvorin-info >/dev/null

echo "== $build/tool/kelvorin -Verbose -Overwrite -RssOut $build/rss_example.dat examples/*.dat"
echo
"$build/tool/kelvorin" -Verbose -Overwrite -RssOut "$build/rss_example.dat" examples/*.dat
echo "== result: $build/rss_example.dat ($(wc -c <"$build/rss_example.dat") bytes)"
echo
echo "== $build/info/kelvorin-info --png $build/rss_example.png --svg $build/rss_example.svg" \
    "--html $build/rss_example.html --tiff $build/rss_example.tif --gsf $build/rss_example.gsf $build/rss_example.dat"
echo
"$build/info/kelvorin-info" --png "$build/rss_example.png" --svg "$build/rss_example.svg" \
    --html "$build/rss_example.html" --tiff "$build/rss_example.tif" \
    --gsf "$build/rss_example.gsf" "$build/rss_example.dat"
echo
echo "== $build/info/kelvorin-info --budget --svg $build/budget_example.svg examples/*.dat"
echo
"$build/info/kelvorin-info" --budget --svg "$build/budget_example.svg" examples/*.dat
echo
page=$(cd "$build" && pwd)/rss_example.html
echo "== open the page in a browser (it needs no network), for example:"
echo "   xdg-open $page"
echo "   or type file://$page into the address bar"
