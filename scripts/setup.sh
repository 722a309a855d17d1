#!/usr/bin/env bash
# Installs what the project needs (Debian packages) and builds it.
# Idempotent: packages already present are not touched; the build is incremental.
#   scripts/setup.sh            install everything and build the whole project into build/
#   scripts/setup.sh --deps     install everything, build nothing
#   scripts/setup.sh --demo     install only what the library and the vexo tool need, and build
#                               only those two into build-demo/ (no tests, benchmarks, examples
#                               or Python module): the quick start's path
#   scripts/setup.sh --cross ARCH...  install everything, and the development packages of each
#                               target architecture (arm64, armhf) for the cross builds
#                               (scripts/packages/arm.txt); builds nothing
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-}

# scripts/packages/*.txt: "build:" lines are what building and running the library and the tool
# needs, "test:" lines what only the tests need.
kinds='build|test'
[ "$mode" = "--demo" ] && kinds='build'
mapfile -t packages < <(sed -nE "s/^($kinds):[[:space:]]*//p" scripts/packages/*.txt | tr -s ' \t' '\n' | sed '/^$/d' | sort -u)

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
[ "$mode" = "--deps" ] && exit 0
if [ "$mode" = "--cross" ]; then
    shift
    exec scripts/setup-cross.sh "$@"
fi

jobs=$(nproc)
werror=OFF
[ -n "${CI:-}" ] && werror=ON
if [ "$mode" = "--demo" ]; then
    # Optimised like the test build but without debug information, which is a quarter of the
    # demo's compile time. Plain Release (-O3) is not used: g++ 12 raises false -Wrestrict
    # warnings there. A unity build compiles the shared headers (JSON, CLI, the driver's) once
    # per batch of sources instead of once per source: about a third of the CPU time is left.
    # Sources of one library therefore share a translation unit here: names at file scope must
    # not clash between them, even in anonymous namespaces.
    cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=Release "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG" \
        "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" -DVEXO_WERROR=$werror \
        -DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=16 \
        -DVEXO_BUILD_TESTS=OFF -DVEXO_BUILD_BENCH=OFF >/dev/null
    cmake --build build-demo -j "$jobs" --target vexo_cli
    exit 0
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXO_WERROR=$werror >/dev/null
cmake --build build -j "$jobs"
