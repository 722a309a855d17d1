#!/usr/bin/env bash
# Runs every libFuzzer target (fuzz/fuzz_*) for a fixed budget each.
#   scripts/fuzz.sh [SECONDS]     seconds per target; default VEXO_FUZZ_SECONDS or 60
# Builds build-fuzz with clang (the same settings as the fuzz stage of scripts/test.sh, which
# runs each target for 10 s). Corpora grow in build-fuzz/corpus/<name>, seeded from
# fuzz/corpus/<name> when that exists; a crash leaves its input as build-fuzz/crash-* and the
# log as build-fuzz/<name>.log. Exits non-zero when a target finds a crash, a leak or a
# sanitizer report, or when the build fails.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-${VEXO_FUZZ_SECONDS:-60}}
jobs=$(nproc)
werror=OFF
[ -n "${CI:-}" ] && werror=ON

echo "== fuzz: build (build-fuzz)"
if ! { CC=clang CXX=clang++ cmake -S . -B build-fuzz -DVEXO_WERROR=$werror \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXO_BUILD_FUZZ=ON -DVEXO_BUILD_TESTS=OFF \
        -DVEXO_BUILD_BENCH=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null &&
       cmake --build build-fuzz -j "$jobs" --target fuzzers; }; then
    echo "fuzz build failed"
    exit 1
fi

failed=()
ran=0
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

if [ "$ran" -eq 0 ]; then
    echo "no fuzz target was built"
    exit 1
fi
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz failed: ${failed[*]}"
    exit 1
fi
echo "fuzz passed: $ran targets, ${seconds}s each"
