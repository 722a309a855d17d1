#!/usr/bin/env bash
# The Debian packages as a user gets them: builds them (scripts/package.sh), runs lintian,
# installs them with apt-get on this machine, uses them from outside the source tree (the vexo
# tool, a C program through pkg-config, a CMake project through find_package(Vexo), the Python
# module and package, the GStreamer element when packaged), then purges them and checks that
# nothing of them is left. Needs root (or sudo) for apt-get.
# Prints one line per check and closes with "package: N passed, M failed".
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
passed=0
failed=0

check() {  # check NAME COMMAND...: runs the command, counts and reports its outcome
    local name=$1
    shift
    local log
    log=$(mktemp)
    if "$@" >"$log" 2>&1; then
        passed=$((passed + 1))
        echo "ok      $name"
    else
        failed=$((failed + 1))
        echo "FAILED  $name"
        sed 's/^/    /' "$log" | tail -n 40
    fi
    rm -f "$log"
}

finish() {
    echo "package: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}

installed_vexo_packages() {
    dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' 2>/dev/null |
        awk '$1 ~ /^[a-z]i/ || $1 ~ /^[a-z]c/ {print $2}' |
        grep -E '^(libvexo0|libvexo-dev|libvexo-cpp0|libvexo-cpp-dev|vexo-tools|python3-vexo|gstreamer1.0-vexo)$'
}

purge_vexo() {
    local pkgs
    mapfile -t pkgs < <(installed_vexo_packages)
    [ ${#pkgs[@]} -eq 0 ] || DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get purge -y -qq "${pkgs[@]}"
}

# Packages left by an interrupted run would stand in for the ones under test.
purge_vexo >/dev/null 2>&1

check "scripts/package.sh builds the packages" scripts/package.sh
shopt -s nullglob
debs=("$root"/build-deb/*.deb)
[ ${#debs[@]} -gt 0 ] || finish
packages=()
for deb in "${debs[@]}"; do packages+=("$(dpkg-deb -f "$deb" Package)"); done
echo "packages: ${packages[*]}"

has_package() { [[ " ${packages[*]} " == *" $1 "* ]]; }
check "every expected package is built" bash -c '
    for p in libvexo0 libvexo-dev libvexo-cpp0 libvexo-cpp-dev vexo-tools python3-vexo; do
        [[ " $1 " == *" $p "* ]] || { echo "missing: $p"; exit 1; }
    done' _ "${packages[*]}"

check "lintian reports nothing (errors, warnings, info, pedantic)" \
    lintian --fail-on error,warning,info,pedantic -EvIL +pedantic "${debs[@]}"

# A binary that loads libvexo.so.0 (libvexo-cpp.so.0) must come in a package that depends on
# libvexo0 (libvexo-cpp0); each library package must name its SONAME in shlibs.
links_checked() {
    local deb dir file soname="" cpp_soname="" bad=0
    for deb in "${debs[@]}"; do
        dir=$(mktemp -d)
        dpkg-deb -x "$deb" "$dir"
        while IFS= read -r file; do
            if [[ $deb == */libvexo0_* && $file == */libvexo.so.0.* ]]; then
                soname=$(readelf -d "$file" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
            fi
            if [[ $deb == */libvexo-cpp0_* && $file == */libvexo-cpp.so.0.* ]]; then
                cpp_soname=$(readelf -d "$file" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
            fi
            if readelf -d "$file" 2>/dev/null | grep -q 'NEEDED.*\[libvexo-cpp\.so\.0\]' &&
                ! dpkg-deb -f "$deb" Depends | grep -Eq '(^|, )libvexo-cpp0 \(= '; then
                echo "$deb: ${file#"$dir"} needs libvexo-cpp.so.0, Depends lacks libvexo-cpp0"
                bad=1
            fi
            if readelf -d "$file" 2>/dev/null | grep -q 'NEEDED.*\[libvexo\.so\.0\]' &&
                ! dpkg-deb -f "$deb" Depends | grep -Eq '(^|, )libvexo0 \(= '; then
                echo "$deb: ${file#"$dir"} needs libvexo.so.0, Depends lacks libvexo0"
                bad=1
            fi
        done < <(find "$dir" -type f)
        rm -rf "$dir"
    done
    [ "$soname" = libvexo.so.0 ] || { echo "SONAME of libvexo0's library: '$soname'"; bad=1; }
    [ "$cpp_soname" = libvexo-cpp.so.0 ] || { echo "SONAME of libvexo-cpp0's library: '$cpp_soname'"; bad=1; }
    dpkg-deb --ctrl-tarfile "$(printf '%s\n' "${debs[@]}" | grep '/libvexo-cpp0_')" | tar -xO ./shlibs |
        grep -qx 'libvexo-cpp 0 libvexo-cpp0 (>= [0-9.]*-[0-9]*)' || { echo "shlibs lack libvexo-cpp 0"; bad=1; }
    dpkg-deb --ctrl-tarfile "$(printf '%s\n' "${debs[@]}" | grep '/libvexo0_')" | tar -xO ./shlibs |
        grep -qx 'libvexo 0 libvexo0 (>= [0-9.]*-[0-9]*)' || { echo "shlibs lack libvexo 0"; bad=1; }
    return $bad
}
check "SONAME libvexo.so.0, shlibs, and a libvexo0 dependency wherever it is loaded" links_checked

# What exists before installing is not the packages' to remove.
vexo_named() { find /usr /etc /var/lib/dpkg/info -xdev -iname '*vexo*' 2>/dev/null | sort; }
named_before=$(vexo_named)
declare -A existed
for deb in "${debs[@]}"; do
    while IFS= read -r path; do
        [ -e "$path" ] || [ -L "$path" ] && existed["$path"]=1
    done < <(dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's#^\./#/#; s#/$##' | sed '/^$/d')
done

check "apt-get install ./build-deb/*.deb" \
    env DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${debs[@]}"
if [ "$(installed_vexo_packages | wc -l)" -ne ${#packages[@]} ]; then
    echo "not every package is installed: $(installed_vexo_packages | tr '\n' ' ')"
    failed=$((failed + 1))
    purge_vexo
    finish
fi

# From here on: a clean directory outside the source tree, and an environment that points
# nowhere into it.
work=$(mktemp -d)
cd "$work"
clean_env=(env -u PYTHONPATH -u GST_PLUGIN_PATH -u LD_LIBRARY_PATH -u PKG_CONFIG_PATH
           -u CMAKE_PREFIX_PATH -u VEXO_VIRTUAL_BOARDS -u CMAKE_C_COMPILER_LAUNCHER
           -u CMAKE_CXX_COMPILER_LAUNCHER)

check "vexo is /usr/bin/vexo and has a manual page" bash -c '
    [ "$(command -v vexo)" = /usr/bin/vexo ] &&
    zcat /usr/share/man/man1/vexo.1.gz | grep -q "^\.SS vexo capture"'
check "vexo --virtual scan lists the virtual board" bash -c '
    "$@" vexo --virtual scan | tee /dev/stderr | grep -q "VEXO-VIRTUAL-000"' _ "${clean_env[@]}"
check "vexo --virtual capture writes PNG images that file(1) reads as 640x480" bash -c '
    "$@" vexo --virtual capture --frames 3 --output frames --quiet &&
    [ "$(ls frames | wc -l)" -eq 3 ] &&
    for f in frames/*.png; do file "$f" | tee /dev/stderr | grep -q "PNG image data, 640 x 480"; done
' _ "${clean_env[@]}"

mkdir c-program
cp "$root/examples/c/capture.c" c-program/
check "a C program built with pkg-config --cflags --libs vexo captures from a virtual board" bash -c '
    cd c-program &&
    cc -Wall -Werror -o capture capture.c $(pkg-config --cflags --libs vexo) &&
    ldd ./capture | tee /dev/stderr | grep -Eq "libvexo.so.0 => (/usr)?/lib/[^ ]*/libvexo.so.0 " &&
    "$@" VEXO_VIRTUAL_BOARDS=1 ./capture 3 | tee /dev/stderr | grep -c "^frame " | grep -qx 3
' _ "${clean_env[@]}"

mkdir -p cmake-project
cp "$root/examples/cpp/capture.cpp" cmake-project/
cat >cmake-project/CMakeLists.txt <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(vexo_user CXX)
set(CMAKE_CXX_STANDARD 20)
find_package(Vexo 0.1 REQUIRED)
find_package(Threads REQUIRED)
message(STATUS "Vexo_DIR=${Vexo_DIR}")
add_executable(capture capture.cpp)
target_link_libraries(capture PRIVATE Vexo::vexo Threads::Threads)
EOF
check "a CMake project with find_package(Vexo) builds the C++ example and captures" bash -c '
    cd cmake-project &&
    "$@" cmake -S . -B build >configure.log && grep -q "Vexo_DIR=/usr/lib/.*/cmake/Vexo" configure.log &&
    "$@" cmake --build build >/dev/null &&
    "$@" VEXO_VIRTUAL_BOARDS=1 build/capture 3 | tee /dev/stderr | grep -c "^frame " | grep -qx 3
' _ "${clean_env[@]}"

# The C++ layer from outside the tree: a program that loads the default configuration file and
# counts a frame of it, through pkg-config and through find_package(Vexo COMPONENTS cpp).
mkdir -p layer-project
cat >layer-project/layout.cpp <<'EOF'
#include <vexo/camera_file.hpp>
#include <vexo/frame_layout.hpp>

#include <cstdio>

int main() {
    const vexo::FrameLayout layout = vexo::frameLayout(vexo::defaultCameraFile().config);
    std::printf("bytes %llu rows %u\n", static_cast<unsigned long long>(layout.bytes), layout.rows);
    return layout.known ? 0 : 1;
}
EOF
cat >layer-project/CMakeLists.txt <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(vexo_layer_user CXX)
find_package(Vexo 0.1 REQUIRED COMPONENTS cpp)
add_executable(layout layout.cpp)
target_link_libraries(layout PRIVATE Vexo::vexo_cpp)
EOF
check "a C++ program of the layer builds with pkg-config vexo-cpp and find_package(Vexo COMPONENTS cpp)" bash -c '
    cd layer-project &&
    c++ -std=c++20 -Wall -Werror -o layout-pc layout.cpp $(pkg-config --cflags --libs vexo-cpp) &&
    ./layout-pc | tee /dev/stderr | grep -qx "bytes 307200 rows 480" &&
    "$@" cmake -S . -B build >/dev/null && "$@" cmake --build build >/dev/null &&
    build/layout | grep -qx "bytes 307200 rows 480"
' _ "${clean_env[@]}"

check "python3: import vexo, VexoSDK from dist-packages and capture a frame" \
    "${clean_env[@]}" VEXO_VIRTUAL_BOARDS=1 /usr/bin/python3 -I -c '
import vexo, VexoSDK
for module in (vexo, VexoSDK):
    assert module.__file__.startswith("/usr/lib/python3/dist-packages/"), module.__file__
with vexo.open() as cam:
    frame = cam.frame()
    picture = frame.array
    assert picture.shape == (480, 640), picture.shape
    assert picture.std() > 10, "a flat picture"
    assert frame.to_rgb().shape == (480, 640, 3)  # the converter compiled into the package
    print("frame", picture.shape, "mean", round(float(picture.mean()), 1))
'

if has_package gstreamer1.0-vexo; then
    check "gst-inspect-1.0 finds vexosrc in the system's plugin directory" bash -c '
        "$@" gst-inspect-1.0 vexosrc | tee /dev/stderr |
            grep -Eq "Filename +(/usr)?/lib/[^ ]*/gstreamer-1.0/libgstvexo.so"
    ' _ "${clean_env[@]}"
    check "gst-launch-1.0 vexosrc num-buffers=3 ! fakesink" \
        "${clean_env[@]}" VEXO_VIRTUAL_BOARDS=1 gst-launch-1.0 -q vexosrc num-buffers=3 ! fakesink
fi

cd "$root"
rm -rf "$work"

# Everything the packages put on the machine, and the byte-compiled files the Python
# package made at install time and at import.
mapfile -t files < <(for p in "${packages[@]}"; do dpkg -L "$p"; done | sort -u)
check "apt-get purge removes every package" bash -c '
    DEBIAN_FRONTEND=noninteractive '"$sudo_cmd"' apt-get purge -y -qq "$@" &&
    ! dpkg-query -W -f="\${db:Status-Abbrev} \${Package}\n" "$@" 2>/dev/null | grep -v "^un"
' _ "${packages[@]}"
left_behind() {
    local path bad=0
    for path in "${files[@]}"; do
        [ -n "${existed[$path]:-}" ] && continue
        if [ -e "$path" ] || [ -L "$path" ]; then echo "left: $path"; bad=1; fi
    done
    comm -13 <(echo "$named_before") <(vexo_named) | sed 's/^/left: /' | grep . && bad=1
    ldconfig -p | grep libvexo && bad=1
    dpkg -S libvexo VexoSDK 2>/dev/null && bad=1
    return $bad
}
check "nothing of Vexo is left (files, ldconfig cache, dpkg database)" left_behind

finish
