#!/usr/bin/env bash
# The Windows build, cross-built with mingw-w64 into build-mingw/ and tested under wine against
# virtual boards (and the Windows backend with no vendor driver installed).
#   1. Debian packages (scripts/setup.sh --deps: g++-mingw-w64-x86-64-posix, wine, wine64),
#   2. the Lua 5.3 and libjpeg-turbo sources from Debian's source packages (a deb-src entry for
#      the configured Debian archive is added when missing), unpacked into the build tree,
#   3. a wine prefix in the build tree and a wine server for the run (stopped on exit),
#   4. configure, build, and ctest under wine (a failed test runs a second time, and is named);
#      ctest's summary line ends the output.
# Exits non-zero when anything fails.
#   VEXO_WIN_BUILD_DIR   build directory (default build-mingw)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${VEXO_WIN_BUILD_DIR:-build-mingw}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
jobs=$(nproc)
werror=OFF
[ -n "${CI:-}" ] && werror=ON
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"

scripts/setup.sh --deps

# --- Sources of Lua and libjpeg-turbo from Debian -------------------------------------------
ensure_deb_src() {
    if apt-get source --download-only --print-uris lua5.3 >/dev/null 2>&1; then return; fi
    local suite
    suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
    echo "windows: adding the Debian source archive (deb-src $suite) for apt-get source"
    $sudo_cmd tee /etc/apt/sources.list.d/vexo-src.sources >/dev/null <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: $suite $suite-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    $sudo_cmd apt-get update -qq
}

# fetch_source PACKAGE DIR GLOB: the orig tarball of PACKAGE unpacked into $build/DIR.
fetch_source() {
    local package=$1 dir=$2 glob=$3
    if compgen -G "$build/$dir/$glob" >/dev/null; then return; fi
    ensure_deb_src
    echo "windows: fetching the $package source package"
    rm -rf "$build/$dir"
    mkdir -p "$build/$dir"
    (cd "$build/$dir" && apt-get source --download-only -qq "$package" >/dev/null 2>&1 ||
        apt-get source --download-only "$package")
    local tarball
    tarball=$(ls "$build/$dir"/*.orig.tar.* | head -n 1)
    tar xf "$tarball" -C "$build/$dir"
}

mkdir -p "$build"
fetch_source lua5.3 lua-src 'lua-5.3*/src/lua.h'
fetch_source libjpeg-turbo jpeg-src 'libjpeg-turbo-*/turbojpeg.h'

# --- Wine -----------------------------------------------------------------------------------
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine_log="$build/wine-setup.log"
stop_wine() { wineserver -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT
# The prefix is made once; a server of our own serves the whole run. Their output goes to a
# file: a server holding this script's output pipe would keep its reader waiting. A server left
# by an interrupted run (with its programs perhaps still hanging) is stopped first.
if [ -d "$WINEPREFIX" ]; then
    stop_wine
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "windows: making the wine prefix $WINEPREFIX"
    wineboot -i </dev/null >"$wine_log" 2>&1
    wineserver -w </dev/null >>"$wine_log" 2>&1 || true
fi
wineserver -p </dev/null >>"$wine_log" 2>&1 || true
wine cmd /c exit 0 </dev/null >>"$wine_log" 2>&1

# --- Build and test -------------------------------------------------------------------------
echo "== windows: build ($build)"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXO_WERROR=$werror >/dev/null
cmake --build "$build" -j "$jobs"

echo "== windows: ctest under wine"
# Now and then wine fails to start a program at all: the test prints nothing and fails within
# a hundredth of a second. A failed test is therefore run a second time; every test that needed
# it is named below, and one that fails twice fails the stage. The Linux stages run the same
# tests once.
ctest_log=$(mktemp)
status=0
ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 300 --repeat until-pass:2 \
    2>&1 | tee "$ctest_log" || status=$?
retried=$(sed -nE 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: (.*[^.]) \.+ *\*\*\*.*/\1/p' "$ctest_log" | sort -u)
if [ -n "$retried" ]; then
    echo "windows: failed on their first run (each result above is the last run's):"
    sed 's/^/  /' <<<"$retried"
fi
tail -n 20 "$ctest_log" | grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' || true
rm -f "$ctest_log"
exit "$status"
