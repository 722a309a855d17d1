#!/usr/bin/env bash
# Installs what the project needs (Debian packages) and builds it into build/.
# Idempotent: packages already present are not touched; the build is incremental.
#   scripts/setup.sh            install and build
#   scripts/setup.sh --deps     install only
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    build-essential cmake pkg-config git
    libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev
    liblua5.3-dev libusb-1.0-0-dev nlohmann-json3-dev libturbojpeg0-dev libpng-dev libcli11-dev
    python3-dev cython3 python3-pytest python3-numpy
    umockdev libumockdev-dev
    g++-mingw-w64-x86-64-posix wine wine64
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
[ "${1:-}" = "--deps" ] && exit 0

jobs=$(nproc)
werror=OFF
[ -n "${CI:-}" ] && werror=ON
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXO_WERROR=$werror >/dev/null
cmake --build build -j "$jobs"
