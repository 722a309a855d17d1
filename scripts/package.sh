#!/usr/bin/env bash
# Builds the Debian packages into build-deb/: libvexo0, libvexo-dev, libvexo-cpp0,
# libvexo-cpp-dev, vexo-tools, python3-vexo and, when the GStreamer plugin is built,
# gstreamer1.0-vexo (docs/install.md).
# The tree is configured for /usr with Debian's build flags in build-deb/build/ and packed by
# CPack; the build is incremental.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --deps

jobs=$(nproc)
# Debian's own flags with all hardening (stack protector, fortified functions, read-only
# relocations bound at start), given on every configure so that the tree follows them.
# Warnings are not errors here: the test command's first stage holds the code to -Werror with
# the project's flags, and a warning that only Debian's flags raise must not stop a package.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cflags="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags="$(dpkg-buildflags --get LDFLAGS)"

cmake -S . -B build-deb/build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
    -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" -DCMAKE_MODULE_LINKER_FLAGS="$ldflags" \
    -DVEXO_DEB_PACKAGES=ON -DVEXO_BUILD_TESTS=OFF -DVEXO_BUILD_BENCH=OFF \
    -DVEXO_PYTHON_INSTALL_DIR=lib/python3/dist-packages -DVEXO_WERROR=OFF >/dev/null
cmake --build build-deb/build -j "$jobs"
rm -rf build-deb/build/packages
rm -f build-deb/*.deb
(cd build-deb/build && cpack -G DEB >cpack.log 2>&1) || { cat build-deb/build/cpack.log; exit 1; }
mv build-deb/build/packages/*.deb build-deb/
for deb in build-deb/*.deb; do
    printf '%-50s %6s KiB\n' "$deb" $(( $(stat -c %s "$deb") / 1024 ))
done
