#!/usr/bin/env bash
# Builds the Debian packages into build-deb/: libvexo0, libvexo-dev, libvexo-cpp0,
# libvexo-cpp-dev, vexo-tools, python3-vexo and, when the GStreamer plugin is built,
# gstreamer1.0-vexo (docs/install.md).
# The tree is configured for /usr with Debian's build flags in build-deb/build/ and packed by
# CPack; the build is incremental.
#   scripts/package.sh --arch arm64|armhf   the same packages for an ARM architecture, cross-built
#                                           (cmake/toolchains/) into build-deb-ARCH/
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=build-deb
cross=()
if [ "${1:-}" = "--arch" ]; then
    arch=${2:-}
    case "$arch" in
    arm64 | armhf) ;;
    *) echo "usage: $0 [--arch arm64|armhf]" >&2; exit 2 ;;
    esac
    scripts/setup.sh --cross "$arch"
    out=build-deb-$arch
    cross=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$arch.cmake")
    # The target's build flags, and for dpkg-shlibdeps (run by CPack) the target's library
    # directories and objdump.
    eval "$(dpkg-architecture -a "$arch" -s 2>/dev/null)"
    # Debian's multiarch library directory, which GNUInstallDirs gives only to native builds.
    cross+=(-DCMAKE_INSTALL_LIBDIR="lib/$DEB_HOST_MULTIARCH")
else
    scripts/setup.sh --deps
fi

jobs=$(nproc)
# Debian's own flags with all hardening (stack protector, fortified functions, read-only
# relocations bound at start), given on every configure so that the tree follows them.
# Warnings are not errors here: the test command's first stage holds the code to -Werror with
# the project's flags, and a warning that only Debian's flags raise must not stop a package.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cflags="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags="$(dpkg-buildflags --get LDFLAGS)"
buildtype=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ ${#cross[@]} -gt 0 ]; then
    # CPack strips the binaries: a cross build leaves out the debug information it would only
    # spend time on (Debian's -O2 and hardening flags stay).
    cflags=$(sed -E 's/(^| )-g( |$)/ /g' <<<"$cflags")
    cxxflags=$(sed -E 's/(^| )-g( |$)/ /g' <<<"$cxxflags")
    buildtype=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG
               -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG)
fi

cmake -S . -B $out/build "${cross[@]}" "${buildtype[@]}" -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
    -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" \
    -DVEXO_DEB_PACKAGES=ON -DVEXO_BUILD_TESTS=OFF -DVEXO_BUILD_BENCH=OFF \
    -DVEXO_PYTHON_INSTALL_DIR=lib/python3/dist-packages -DVEXO_WERROR=OFF >/dev/null
cmake --build $out/build -j "$jobs"
rm -rf $out/build/packages
rm -f $out/*.deb
(cd $out/build && cpack -G DEB >cpack.log 2>&1) || { cat $out/build/cpack.log; exit 1; }
mv $out/build/packages/*.deb $out/
for deb in $out/*.deb; do
    printf '%-50s %6s KiB\n' "$deb" $(( $(stat -c %s "$deb") / 1024 ))
done
