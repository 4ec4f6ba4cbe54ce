#!/usr/bin/env bash
# Checks what Kelvorin ships, from a finished build folder. Needs no root and
# leaves the machine's own packages alone.
#
#   tests/package/run.sh native [build/native]
#       man pages lint clean; `cmake --install` into a scratch prefix; the
#       consumer in tests/package builds and runs against it with
#       find_package, with pkg-config and a plain compiler line, and through
#       add_subdirectory on the source tree; the .deb packages have the
#       expected files and metadata, pass lintian (no error, warning or
#       missing hardening), and install into a throwaway root with a package
#       database of its own, where the programs, the man pages and the
#       pkg-config file are used, and are removed from it again. With CI set
#       or KELVORIN_TEST_DPKG=1 (as root) they are also installed on this
#       machine with dpkg -i and removed with dpkg -r, unless a kelvorin
#       package is installed here already.
#   tests/package/run.sh zip [build/windows]
#       the Windows zip holds exactly the programs, the examples and the guide
#       (with CR LF line ends).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
mode=${1:?usage: run.sh native|zip [build folder]}
build=$(cd "${2:-build/$([ "$mode" = zip ] && echo windows || echo native)}" && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
scratch=$build/package-test
rm -rf "$scratch" && mkdir -p "$scratch"

fail() { echo "package test: $*" >&2; exit 1; }
# kelvorin-info is shipped whenever the build has it.
programs=(kelvorin)
if grep -q '/kelvorin-info\.dir$' "$build/CMakeFiles/TargetDirectories.txt"; then
    programs+=(kelvorin-info)
fi
examples=$(cd examples && ls -- *.dat)
# The Python module, when the build has it: its files, and the site folders
# they belong in: the interpreter's standard layout in a prefix of no
# interpreter (the scratch prefix), Debian's own folder in the package; or
# the folder the build was told to use.
python_files=()
if grep -q '/kelvorin_python\.dir$' "$build/CMakeFiles/TargetDirectories.txt"; then
    python=$(sed -n 's/^Python3_EXECUTABLE:[A-Z]*=//p' "$build/CMakeCache.txt")
    so=$(cd "$build/python/kelvorin" && ls _core*.so)
    python_files=(kelvorin/{__init__.py,__init__.pyi,py.typed,"$so"})
    scratch_site=lib/python$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')/site-packages
    deb_site=lib/python3/dist-packages
    site=$(sed -n 's/^KELVORIN_PYTHON_INSTALL_DIR:[A-Z]*=//p' "$build/CMakeCache.txt")
    if [ -n "$site" ]; then
        scratch_site=$site deb_site=$site
    fi
fi
# Imports the package from where it lies and reads every example.
try_module() { # label interpreter PYTHONPATH folder-it-must-come-from
    PYTHONDONTWRITEBYTECODE=1 PYTHONPATH=$3 "$2" -c '
import sys, kelvorin
assert kelvorin.__file__.startswith(sys.argv[1]), kelvorin.__file__
for name in sys.argv[2:]:
    assert kelvorin.read(name).heights("nm") is not None
' "$4" "$root"/examples/*.dat || fail "import kelvorin from the $1 failed"
    echo "$1: import kelvorin, read the examples"
}

libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")

need() { # command package
    command -v "$1" >/dev/null && return
    fail "needs $1 (Debian package $2; install it with: sudo apt-get install $2)"
}
# A step left out, in scripts/test.sh's list of them too.
skip() { # what why
    echo "skipped: $2 ($1)"
    [ -z "${KELVORIN_SKIPPED:-}" ] || echo "$1: $2" >>"$KELVORIN_SKIPPED"
}

# The names in a listing, one per line, sorted; fails on a difference.
same_list() { # label expected actual
    if [ "$2" != "$3" ]; then
        echo "$1: expected and actual file lists differ:" >&2
        diff <(echo "$2") <(echo "$3") >&2 || true
        exit 1
    fi
}

if [ "$mode" = zip ]; then
    out=$(cd "$build" && cpack -G ZIP 2>&1) || { echo "$out" >&2; fail "cpack -G ZIP failed"; }
    zip=$build/packages/kelvorin-$version-win64.zip
    [ -f "$zip" ] || fail "no $zip"
    top=kelvorin-$version-win64
    expected=$( (for p in "${programs[@]}"; do echo "$top/$p.exe"; done
                 echo "$top/kelvorin-guide.txt"
                 for e in $examples; do echo "$top/examples/$e"; done
                 if [ -f "$build/kelvorin.dll" ]; then
                     echo "$top/kelvorin.dll" "$top"/lib/{libkelvorin.dll.a,kelvorin.def}
                     echo "$top"/include/kelvorin/{datafile.h,error_list.inc,maps.h,rss.h,support.h}
                 fi) | tr ' ' '\n' | sort)
    actual=$(cmake -E tar tf "$zip" | grep -v '/$' | sort)
    same_list "$zip" "$expected" "$actual"
    (cd "$scratch" && cmake -E tar xf "$zip")
    binaries=("${programs[@]/%/.exe}")
    [ ! -f "$build/kelvorin.dll" ] || binaries+=(kelvorin.dll)
    for b in "${binaries[@]}"; do
        [ "$(head -c 2 "$scratch/$top/$b")" = MZ ] || fail "$b is not a Windows program or library"
    done
    guide=$scratch/$top/kelvorin-guide.txt
    lines=$(tr -cd '\n' <"$guide" | wc -c)
    crlf=$(grep -c $'\r$' "$guide" || true)
    if [ "$lines" -lt 50 ] || [ "$lines" != "$crlf" ]; then
        fail "the guide is missing or its lines do not all end in CR LF"
    fi
    echo "$(basename "$zip"): $(echo "$actual" | wc -l) files, guide with CR LF line ends"
    exit 0
fi

[ "$mode" = native ] || fail "unknown mode $mode"

# --- man pages -----------------------------------------------------------------
need groff groff-base
need mandoc mandoc
# Every page in the repository, built into the program's package or not yet.
mkdir -p "$scratch/man"
for source in docs/man/*.1.in; do
    page=$scratch/man/$(basename "$source" .in)
    sed "s/@PROJECT_VERSION@/$version/g" "$source" >"$page"
    warnings=$(groff -ww -z -man "$page" 2>&1; mandoc -T lint -W warning "$page" 2>&1 || true)
    [ -z "$warnings" ] || fail "$(basename "$page") does not lint clean: $warnings"
done
echo "man pages lint clean: $(cd "$scratch/man" && echo *.1)"

# --- installed tree and library consumers --------------------------------------
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
expected=$( (for p in "${programs[@]}"; do echo "bin/$p"; echo "share/man/man1/$p.1"; done
             echo include/kelvorin/{datafile.h,error_list.inc,maps.h,rss.h,support.h}
             echo "$libdir"/cmake/Kelvorin/{KelvorinConfig.cmake,KelvorinConfigVersion.cmake}
             echo "$libdir"/cmake/Kelvorin/{KelvorinTargets.cmake,KelvorinTargets-release.cmake}
             echo "$libdir"/libkelvorin_{datafile,maps,rss,support}.a
             echo "$libdir"/libkelvorin.so{,.2,.2.0} "$libdir"/pkgconfig/kelvorin{,-static}.pc
             echo share/doc/kelvorin/README.md
             for e in $examples; do echo "share/doc/kelvorin/examples/$e"; done
             for f in "${python_files[@]}"; do echo "$scratch_site/$f"; done) |
           tr ' ' '\n' | sort)
actual=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | sort)
same_list "installed tree" "$expected" "$actual"
if [ ${#python_files[@]} -gt 0 ]; then
    try_module "installed tree (PYTHONPATH=<prefix>/$scratch_site)" "$python" \
        "$prefix/$scratch_site" "$prefix"
    # Debian's interpreter finds what is installed under /usr/local with no
    # setting at all.
    if [ -z "$site" ] && [ "$("$python" -c 'import sys; print(sys.prefix)')" = /usr ]; then
        DESTDIR=$scratch/destdir cmake --install "$build" --prefix /usr/local --component python >/dev/null
        folder=$(cd "$scratch/destdir" && find . -path '*/kelvorin/__init__.py' | sed 's|^\.||; s|/kelvorin/__init__.py$||')
        env -i "$python" -c 'import sys; sys.exit(sys.argv[1] not in sys.path)' "$folder" ||
            fail "cmake --install --prefix /usr/local put kelvorin in $folder, where $python does not look"
        echo "cmake --install --prefix /usr/local: kelvorin in $folder, on $python's own path"
    fi
fi

example=$root/examples/$(echo "$examples" | head -n 1)
consume() { # label program
    "$2" "$example" "$scratch/$1.dat" >/dev/null || fail "consumer built with $1 failed"
    echo "consumer built with $1: read $(basename "$example"), wrote it back, same bytes"
}
# The RSS in-process against the installed tool, on the example files.
# shellcheck disable=SC2046 # one argument per example file
rss_consume() { # label program [prefix of the tool]
    "$2" "${3:-$prefix}/bin/kelvorin" "$scratch" $(for e in $examples; do echo "$root/examples/$e"; done) ||
        fail "rss consumer built with $1 failed"
    echo "rss consumer built with $1: rss_compute agrees with the tool"
}
cmake -S tests/package -B "$scratch/find_package" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/find_package" -j 2 >/dev/null
consume find_package "$scratch/find_package/consumer"
consume "find_package (Kelvorin::kelvorin)" "$scratch/find_package/consumer_umbrella"
consume "find_package (Kelvorin::shared)" "$scratch/find_package/consumer_shared"
rss_consume find_package "$scratch/find_package/rss_consumer"

need pkg-config pkg-config
# The C consumer, built with the strict C11 line against the tree's headers,
# held to the tree's tool (tests/consumers/check_consumer.cmake).
c_consume() { # label program prefix
    cmake -DCONSUMER="$2" -DTOOL="$3/bin/kelvorin" -DDIR="$scratch/c_consumer" \
          -DINPUTS="$(for e in $examples; do printf '%s;' "$root/examples/$e"; done)" \
          -P tests/consumers/check_consumer.cmake >/dev/null || fail "C consumer built with $1 failed"
    echo "C consumer built with $1: rss_compute agrees with the tool"
}
consume_pc() { # label prefix
    local flags static
    flags=$(PKG_CONFIG_PATH=$2/$libdir/pkgconfig pkg-config --cflags --libs kelvorin)
    static=$(PKG_CONFIG_PATH=$2/$libdir/pkgconfig pkg-config --cflags --libs kelvorin-static)
    # kelvorin.pc links the shared library, which a scratch prefix keeps out
    # of the loader's standard places.
    export LD_LIBRARY_PATH=$2/$libdir
    # shellcheck disable=SC2086 # the flags are meant to be split
    c++ -std=c++17 -Wall -Wextra -Werror -o "$scratch/consumer_pc" tests/package/consumer.cpp $flags
    consume "$1" "$scratch/consumer_pc"
    # shellcheck disable=SC2086
    c++ -std=c++17 -Wall -Wextra -Werror -o "$scratch/rss_consumer_pc" \
        tests/package/rss_consumer.cpp $static
    rss_consume "$1, static" "$scratch/rss_consumer_pc" "$2"
    # shellcheck disable=SC2086
    gcc -std=c11 -Wall -Wextra -pedantic -Werror -o "$scratch/c_consumer_shared" \
        tests/consumers/c_consumer.c $flags
    c_consume "$1 (kelvorin.pc, shared)" "$scratch/c_consumer_shared" "$2"
    # shellcheck disable=SC2086
    gcc -std=c11 -Wall -Wextra -pedantic -Werror -o "$scratch/c_consumer_static" \
        tests/consumers/c_consumer.c $static
    c_consume "$1 (kelvorin-static.pc)" "$scratch/c_consumer_static" "$2"
    ! objdump -p "$scratch/c_consumer_static" | grep -q 'NEEDED.*libkelvorin' ||
        fail "the static C consumer needs libkelvorin.so"
    cmake -DCONSUMER="python3;tests/consumers/ctypes_consumer.py;$2/$libdir/libkelvorin.so.2" \
          -DTOOL="$2/bin/kelvorin" -DDIR="$scratch/ctypes_consumer" \
          -DINPUTS="$(for e in $examples; do printf '%s;' "$root/examples/$e"; done)" \
          -P tests/consumers/check_consumer.cmake >/dev/null || fail "ctypes consumer ($1) failed"
    echo "Python ctypes on $1's libkelvorin.so.2: rss_compute agrees with the tool"
    unset LD_LIBRARY_PATH
}
consume_pc pkg-config "$prefix"

cmake -S tests/package -B "$scratch/add_subdirectory" -DKELVORIN_SOURCE_DIR="$root" >/dev/null
cmake --build "$scratch/add_subdirectory" -j 2 --target consumer consumer_shared rss_consumer >/dev/null
consume add_subdirectory "$scratch/add_subdirectory/consumer"
consume "add_subdirectory (Kelvorin::shared)" "$scratch/add_subdirectory/consumer_shared"
rss_consume add_subdirectory "$scratch/add_subdirectory/rss_consumer"

# --- Debian packages -------------------------------------------------------------
need dpkg-shlibdeps dpkg-dev
need lintian lintian
out=$(cd "$build" && cpack -G DEB 2>&1) || { echo "$out" >&2; fail "cpack -G DEB failed"; }
runtime_deb=$build/packages/kelvorin_${version}_amd64.deb
lib_deb=$build/packages/libkelvorin${version%%.*}_${version}_amd64.deb
dev_deb=$build/packages/kelvorin-dev_${version}_amd64.deb
python_deb=
[ ${#python_files[@]} -eq 0 ] || python_deb=$build/packages/python3-kelvorin_${version}_amd64.deb
for deb in "$runtime_deb" "$lib_deb" "$dev_deb"; do
    [ -f "$deb" ] || fail "no $deb"
done

deb_files() { dpkg-deb --fsys-tarfile "$1" | tar -t | grep -v '/$' | sed 's|^\./||' | sort; }
expected=$( (echo "usr/$libdir"/libkelvorin.so.2{,.0}
             echo usr/share/doc/"$(basename "${lib_deb%%_*}")"/{changelog.gz,copyright}) | tr ' ' '\n' | sort)
same_list "$(basename "$lib_deb")" "$expected" "$(deb_files "$lib_deb")"
[ "$(dpkg-deb -f "$lib_deb" Package)" = "$(basename "${lib_deb%%_*}")" ] || fail "libkelvorin package name"
control=$(dpkg-deb -I "$lib_deb")
for file in symbols shlibs triggers; do
    echo "$control" | grep -qE "^ +[0-9]+ bytes, +[0-9]+ lines +$file" || fail "$(basename "$lib_deb") has no $file file"
done
! echo "$control" | grep -qE ' (postinst|postrm) ' || fail "$(basename "$lib_deb") calls ldconfig itself"
# The symbols file names exactly what the library exports.
dpkg-deb --ctrl-tarfile "$lib_deb" | tar -xO ./symbols | sed -n 's/^ \([^@]*\)@Base .*/\1/p' >"$scratch/symbols.txt"
nm -D --defined-only "$build/libkelvorin.so.2" | awk '{print $3}' | sort >"$scratch/exports.txt"
cmp -s "$scratch/symbols.txt" "$scratch/exports.txt" || fail "the symbols file and the exports differ"
expected=$( (for p in "${programs[@]}"; do echo "usr/bin/$p"; echo "usr/share/man/man1/$p.1.gz"; done
             echo usr/share/doc/kelvorin/{README.md,changelog.gz,copyright}
             for e in $examples; do echo "usr/share/doc/kelvorin/examples/$e"; done) |
           tr ' ' '\n' | sort)
same_list "$(basename "$runtime_deb")" "$expected" "$(deb_files "$runtime_deb")"
expected=$( (echo usr/include/kelvorin/{datafile.h,error_list.inc,maps.h,rss.h,support.h}
             echo "usr/$libdir"/cmake/Kelvorin/{KelvorinConfig.cmake,KelvorinConfigVersion.cmake}
             echo "usr/$libdir"/cmake/Kelvorin/{KelvorinTargets.cmake,KelvorinTargets-release.cmake}
             echo "usr/$libdir"/libkelvorin_{datafile,maps,rss,support}.a "usr/$libdir"/libkelvorin.so
             echo "usr/$libdir"/pkgconfig/kelvorin{,-static}.pc
             echo usr/share/doc/kelvorin-dev/{changelog.gz,copyright}) | tr ' ' '\n' | sort)
same_list "$(basename "$dev_deb")" "$expected" "$(deb_files "$dev_deb")"

check_field() { # deb field pattern
    local value
    value=$(dpkg-deb -f "$1" "$2")
    [[ $value =~ $3 ]] || fail "$(basename "$1"): $2 is \"$value\""
}
for deb in "$runtime_deb" "$lib_deb" "$dev_deb"; do
    check_field "$deb" Version "^$version\$"
    check_field "$deb" Architecture '^amd64$'
    check_field "$deb" Maintainer '^[^<]+ <[^@>]+@[^>]+>$'
    check_field "$deb" Description '^[a-zA-Z].{10,79}'$'\n'' [^ ]'
done
check_field "$runtime_deb" Package '^kelvorin$'
check_field "$runtime_deb" Section '^science$'
check_field "$runtime_deb" Depends '^libc6 '
check_field "$dev_deb" Package '^kelvorin-dev$'
check_field "$dev_deb" Section '^libdevel$'
check_field "$dev_deb" Depends "^libkelvorin${version%%.*} \\(= $version\\)\$"
check_field "$lib_deb" Section '^libs$'

# Every tag lintian knows, pedantic and informational ones too, is shown; an
# error, a warning or a missing hardening feature fails.
lint_rc=0
lint=$(lintian -I --pedantic --fail-on error,warning "$runtime_deb" "$lib_deb" "$dev_deb" 2>&1) || lint_rc=$?
lint=$(echo "$lint" | grep -v 'running with root privileges' || true)
echo "lintian -I --pedantic:${lint:+$'\n'}${lint:- no tags}"
[ "$lint_rc" = 0 ] || fail "lintian reports errors or warnings"
! echo "$lint" | grep -q ' hardening-no-' || fail "lintian finds programs without hardening"
echo "$(basename "$runtime_deb"), $(basename "$lib_deb"), $(basename "$dev_deb"): file lists, metadata and lintian"

# --- the packages in a throwaway root ----------------------------------------------
# dpkg installs into a scratch folder with a package database of its own,
# which knows only the machine's packages that the .deb files depend on, so
# that dpkg checks the dependencies as on a real system.
need man man-db
debroot=$scratch/debroot
admin=$debroot/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers"
: >"$admin/available"
depends=$(for deb in "$runtime_deb" "$lib_deb" "$dev_deb" ${python_deb:+"$python_deb"}; do
              dpkg-deb -f "$deb" Depends; done |
          tr ',|' '\n\n' | sed 's/(.*//; s/:.*//; s/[[:space:]]//g' | grep -v '^$' |
          grep -vxE 'kelvorin|kelvorin-dev|libkelvorin[0-9]+' | sort -u)
for package in $depends; do
    dpkg-query -s "$package" 2>/dev/null || fail "$package (a dependency) is not installed here"
    echo
    : >"$admin/info/$(dpkg-query -f '${binary:Package}' -W "$package").list"
done >"$admin/status"
# dpkg looks for ldconfig and start-stop-daemon, which a user's PATH may lack.
debroot_dpkg() {
    PATH=$PATH:/usr/local/sbin:/usr/sbin:/sbin dpkg --root="$debroot" --force-not-root --force-script-chrootless --log=/dev/null "$@"
}
debroot_dpkg -i "$runtime_deb" "$lib_deb" "$dev_deb" >/dev/null || fail "dpkg -i into the throwaway root failed"
for p in "${programs[@]}"; do
    [ -x "$debroot/usr/bin/$p" ] || fail "no usr/bin/$p in the throwaway root"
    page=$(man -M "$debroot/usr/share/man" -w "$p") || fail "man -M ... -w $p found no page"
    [ "$page" = "$debroot/usr/share/man/man1/$p.1.gz" ] || fail "man -w $p: $page"
    man -M "$debroot/usr/share/man" "$p" 2>&1 | grep -q "$p" || fail "man $p shows nothing"
done
installed_examples=("$debroot"/usr/share/doc/kelvorin/examples/*.dat)
(cd "$scratch" && "$debroot/usr/bin/kelvorin" -Overwrite -RssOut rss.dat "${installed_examples[@]}" >/dev/null) ||
    fail "the installed kelvorin failed on the installed examples"
if [[ " ${programs[*]} " == *" kelvorin-info "* ]]; then
    "$debroot/usr/bin/kelvorin-info" "$scratch/rss.dat" >/dev/null ||
        fail "the installed kelvorin-info failed on the installed kelvorin's result"
fi
consume_pc "pkg-config (kelvorin-dev)" "$debroot/usr"
debroot_dpkg -r kelvorin kelvorin-dev "$(basename "${lib_deb%%_*}")" >/dev/null ||
    fail "dpkg -r in the throwaway root failed"
left=$(cd "$debroot" && find . -type f ! -path './var/*')
[ -z "$left" ] || fail "dpkg -r left files in the throwaway root: $left"
echo "throwaway root: dpkg -i, ${programs[*]} run, man -M finds the pages," \
     "pkg-config builds the C and C++ consumers; dpkg -r: all gone"

# --- Python: the .deb in the throwaway root, the wheel in a fresh venv -----------
if [ ${#python_files[@]} -gt 0 ]; then
    expected=$( (for f in "${python_files[@]}"; do echo "usr/$deb_site/$f"; done
                 echo usr/share/doc/python3-kelvorin/{changelog.gz,copyright}) | tr ' ' '\n' | sort)
    same_list "$(basename "$python_deb")" "$expected" "$(deb_files "$python_deb")"
    check_field "$python_deb" Package '^python3-kelvorin$'
    check_field "$python_deb" Depends 'python3-numpy'
    lint_rc=0
    lint=$(lintian -I --pedantic --fail-on error,warning "$python_deb" 2>&1) || lint_rc=$?
    lint=$(echo "$lint" | grep -v 'running with root privileges' || true)
    echo "lintian -I --pedantic $(basename "$python_deb"):${lint:+$'\n'}${lint:- no tags}"
    [ "$lint_rc" = 0 ] || fail "lintian reports errors or warnings"
    debroot_dpkg -i "$python_deb" >/dev/null || fail "dpkg -i $(basename "$python_deb") failed"
    try_module "$(basename "$python_deb") (throwaway root)" "$python" "$debroot/usr/$deb_site" "$debroot"
    debroot_dpkg -r python3-kelvorin >/dev/null || fail "dpkg -r python3-kelvorin failed"
    left=$(cd "$debroot" && find . -type f ! -path './var/*')
    [ -z "$left" ] || fail "dpkg -r left files in the throwaway root: $left"
    out=$(cmake --build "$build" --target python_wheel 2>&1) || { echo "$out" >&2; fail "the wheel failed"; }
    wheel=$(ls "$build"/packages/kelvorin-"$version"-*.whl)
    "$python" -m venv --system-site-packages "$scratch/venv"
    "$scratch/venv/bin/pip" install -q --no-index "$wheel" || fail "pip install $wheel failed"
    try_module "$(basename "$wheel") (fresh venv)" "$scratch/venv/bin/python" "" "$scratch/venv"
fi

# --- the packages on this machine ------------------------------------------------------
# Only in CI, or when asked; a kelvorin package that is installed here
# already is never touched.
if [ -z "${CI:-}" ] && [ "${KELVORIN_TEST_DPKG:-0}" != 1 ]; then
    echo "dpkg -i / dpkg -r on this machine: not asked for (CI or KELVORIN_TEST_DPKG=1)"
    exit 0
fi
if [ "$(id -u)" != 0 ]; then
    skip "dpkg -i / dpkg -r on this machine" "needs root"
    exit 0
fi
lib_package=$(basename "${lib_deb%%_*}")
if dpkg -s kelvorin >/dev/null 2>&1 || dpkg -s kelvorin-dev >/dev/null 2>&1 ||
    dpkg -s "$lib_package" >/dev/null 2>&1; then
    skip "dpkg -i / dpkg -r on this machine" "a kelvorin package is installed here, left as it is"
    exit 0
fi
trap 'dpkg -r kelvorin kelvorin-dev "$lib_package" >/dev/null 2>&1 || true' EXIT
dpkg -i "$runtime_deb" "$lib_deb" "$dev_deb" >/dev/null
hash -r
for p in "${programs[@]}"; do
    [ "$(command -v "$p")" = "/usr/bin/$p" ] || fail "$p is not found as /usr/bin/$p"
    [ "$(man -w "$p")" = "/usr/share/man/man1/$p.1.gz" ] || fail "man -w $p: $(man -w "$p" 2>&1)"
done
(cd "$scratch" && kelvorin -Overwrite -RssOut rss.dat /usr/share/doc/kelvorin/examples/*.dat) ||
    fail "the installed kelvorin failed on the installed examples"
# A program linked the usual way finds the library through the loader's cache.
gcc -std=c11 -Wall -Wextra -pedantic -Werror -o "$scratch/c_consumer_system" \
    tests/consumers/c_consumer.c $(pkg-config --cflags --libs kelvorin)
c_consume "the installed packages" "$scratch/c_consumer_system" /usr
dpkg -r kelvorin kelvorin-dev "$lib_package" >/dev/null
trap - EXIT
for p in "${programs[@]}"; do
    ! command -v "$p" >/dev/null || fail "$p is still there after dpkg -r"
done
[ ! -e /usr/include/kelvorin ] || fail "/usr/include/kelvorin is still there after dpkg -r"
[ ! -e "/usr/$libdir/libkelvorin.so.2" ] || fail "libkelvorin.so.2 is still there after dpkg -r"
echo "dpkg -i: ${programs[*]} and man pages found from PATH, a run on the examples; dpkg -r: all gone"
