#!/usr/bin/env bash
# Runs every libFuzzer target (fuzz/fuzz_*) for a fixed budget each, then the Python fuzzer
# (fuzz/fuzz_python.py) for the same budget.
#   scripts/fuzz.sh [SECONDS]     seconds per target; default VEXO_FUZZ_SECONDS or 60
# Builds build-fuzz with clang (the same settings as the fuzz stage of scripts/test.sh, which
# runs each target for 10 s). Corpora grow in build-fuzz/corpus/<name>, seeded from
# fuzz/corpus/<name> when that exists; a crash leaves its input as build-fuzz/crash-* and the
# log as build-fuzz/<name>.log. The Python fuzzer calls the VexoSDK module and the vexo
# package of VEXO_BUILD_DIR (default build, configured if need be; its VexoSDK target is built
# first) with random arguments, one run per seed: seed 1, then seeds from the clock; its output
# is in build-fuzz/fuzz_python.log. Exits non-zero when a target finds a crash, a leak or a
# sanitizer report, when the Python fuzzer has a finding, or when a build fails.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-${VEXO_FUZZ_SECONDS:-60}}
jobs=$(nproc)
werror=OFF
[ -n "${CI:-}" ] && werror=ON

failed=()
ran=0
echo "== fuzz: build (build-fuzz)"
if ! { CC=clang CXX=clang++ cmake -S . -B build-fuzz -DVEXO_WERROR=$werror \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXO_BUILD_FUZZ=ON -DVEXO_BUILD_TESTS=OFF \
        -DVEXO_BUILD_BENCH=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null &&
       cmake --build build-fuzz -j "$jobs" --target fuzzers; }; then
    echo "fuzz build failed"
    failed+=("build-fuzz")
fi

for f in build-fuzz/fuzz/fuzz_*; do
    [ -x "$f" ] && [ -f "$f" ] || continue
    name=$(basename "$f")
    corpus="$root/fuzz/corpus/$name"
    mkdir -p "build-fuzz/corpus/$name"
    echo "== fuzz: $name for ${seconds}s"
    if (cd build-fuzz && "$root/$f" -max_total_time="$seconds" -print_final_stats=1 \
            "corpus/$name" $( [ -d "$corpus" ] && echo "$corpus" ) >"$name.log" 2>&1); then
        grep -E '^stat::number_of_executed_units|^stat::new_units_added' "build-fuzz/$name.log" |
            tr '\n' ' '
        echo
    else
        tail -n 40 "build-fuzz/$name.log"
        failed+=("$name")
    fi
    ran=$((ran + 1))
done

# The Python side: random calls of every VexoSDK function and of the vexo package, for the
# same budget, each run in its own interpreter (a crash or a hang is reported with its call).
pybuild=${VEXO_BUILD_DIR:-build}
echo "== fuzz: fuzz_python for ${seconds}s ($pybuild)"
mkdir -p build-fuzz
if ! { { [ -f "$pybuild/CMakeCache.txt" ] || cmake -S . -B "$pybuild" >/dev/null; } &&
       cmake --build "$pybuild" -j "$jobs" --target VexoSDK >/dev/null; }; then
    echo "VexoSDK build failed"
    failed+=("fuzz_python")
elif ! ls "$pybuild"/python/VexoSDK*.so >/dev/null 2>&1; then
    echo "VexoSDK is not built in $pybuild (needs python3-dev and cython3): fuzz_python skipped"
elif /usr/bin/python3 fuzz/fuzz_python.py --build "$pybuild" --seconds "$seconds" \
        >build-fuzz/fuzz_python.log 2>&1; then
    grep -E '^seed [0-9]+: [0-9]+ calls|^fuzz_python:' build-fuzz/fuzz_python.log
    ran=$((ran + 1))
else
    tail -n 60 build-fuzz/fuzz_python.log
    failed+=("fuzz_python")
    ran=$((ran + 1))
fi

if [ "$ran" -eq 0 ]; then
    echo "no fuzz target was built"
    exit 1
fi
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz failed: ${failed[*]}"
    exit 1
fi
echo "fuzz passed: $ran targets, ${seconds}s each"
