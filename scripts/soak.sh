#!/usr/bin/env bash
# Long soaks: the fault soak captures from virtual boards of both framings under random faults
# and checks every frame handed out byte for byte (tests/soak/fault_soak.cpp); the concurrency
# soak calls the exported functions from several threads in random order beside a capture loop
# and checks every frame read (tests/soak/concurrency_soak_test.cpp); the Python soak does the
# same through VexoSDK from several Python threads (tests/python/test_soak.py).
#   scripts/soak.sh [FRAMES]      fault soak frames, default 100000
# Environment: VEXO_SOAK_SEED (default 20261207), VEXO_SOAK_ASAN_FRAMES (default 25000, 0 skips
# the AddressSanitizer + UndefinedBehaviorSanitizer + LeakSanitizer run), VEXO_SOAK_VALGRIND_FRAMES
# (default 3000, 0 skips the valgrind run), VEXO_SOAK_CONCURRENCY_SECONDS (seconds per framing of
# the concurrency soak, default 120, 0 skips it; under each sanitizer a quarter of that, and
# VEXO_SOAK_TSAN=0 skips the ThreadSanitizer build; the Python soak runs as long as the plain one
# when the VexoSDK module is built).
# The test command runs both programs briefly (ctest label "soak").
# Exits non-zero when a run fails.
set -uo pipefail
cd "$(dirname "$0")/.."
frames=${1:-100000}
seed=${VEXO_SOAK_SEED:-20261207}
asan_frames=${VEXO_SOAK_ASAN_FRAMES:-25000}
valgrind_frames=${VEXO_SOAK_VALGRIND_FRAMES:-3000}
concurrency_seconds=${VEXO_SOAK_CONCURRENCY_SECONDS:-120}
sanitized_seconds=$((concurrency_seconds / 4))
tsan=${VEXO_SOAK_TSAN:-1}
jobs=$(nproc)
werror=OFF
[ -n "${CI:-}" ] && werror=ON
failed=()

build() {  # build DIR cmake-args...
    local dir=$1
    shift
    cmake -S . -B "$dir" -DVEXO_WERROR=$werror "$@" >/dev/null &&
        cmake --build "$dir" -j "$jobs" --target fault_soak concurrency_soak
}

concurrency() {  # concurrency DIR SECONDS NAME: the concurrency soak, both framings
    [ "$2" -gt 0 ] || return 0
    echo "== concurrency soak ($3): $2 s per framing, seed $seed"
    VEXO_SOAK_SECONDS=$2 VEXO_SOAK_SEED=$seed "$1/tests/soak/concurrency_soak" \
        --gtest_filter='*EveryFrameRead*' || failed+=("$3 concurrency soak")
}

echo "== soak: $frames frames, seed $seed (build-soak)"
if build build-soak; then
    build-soak/tests/soak/fault_soak --frames "$frames" --seed "$seed" --boards both ||
        failed+=("soak")
    concurrency build-soak "$concurrency_seconds" plain
    if [ "$concurrency_seconds" -gt 0 ] && cmake --build build-soak -j "$jobs" --target VexoSDK \
        >/dev/null 2>&1 && [ -d build-soak/python ]; then
        echo "== Python concurrency soak: $concurrency_seconds s per framing"
        VEXO_BUILD_DIR="$(pwd)/build-soak" VEXO_PY_SOAK_SECONDS=$concurrency_seconds \
            VEXO_PY_SOAK_SEED=$seed /usr/bin/python3 -m pytest -q tests/python/test_soak.py ||
            failed+=("python concurrency soak")
    fi
else
    failed+=("soak build")
fi

if [ "$valgrind_frames" -gt 0 ] && [ -x build-soak/tests/soak/fault_soak ]; then
    if command -v valgrind >/dev/null; then
        echo "== soak under valgrind: $valgrind_frames frames, seed $seed"
        # The soak counts allocations with its own operator new over malloc; valgrind puts
        # its own operator new in place, so the pairs it sees do not match by name.
        valgrind --quiet --leak-check=full --show-mismatched-frees=no \
            --show-leak-kinds=definite,indirect \
            --errors-for-leak-kinds=definite,indirect --error-exitcode=99 \
            build-soak/tests/soak/fault_soak --frames "$valgrind_frames" --seed "$seed" \
            --boards both || failed+=("valgrind")
    else
        echo "== soak under valgrind: skipped, valgrind is not installed"
    fi
fi

if [ "$asan_frames" -gt 0 ]; then
    echo "== soak under ASan+UBSan+LSan: $asan_frames frames, seed $seed (build-soak-asan)"
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
    if build build-soak-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 \
        -DVEXO_SANITIZE=address,undefined -DVEXO_BUILD_BENCH=OFF; then
        build-soak-asan/tests/soak/fault_soak --frames "$asan_frames" --seed "$seed" \
            --boards both || failed+=("asan soak")
        concurrency build-soak-asan "$sanitized_seconds" "asan"
    else
        failed+=("asan soak build")
    fi
fi

if [ "$tsan" != 0 ] && [ "$sanitized_seconds" -gt 0 ]; then
    echo "== ThreadSanitizer build (build-soak-tsan)"
    export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
    if build build-soak-tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 \
        -DVEXO_SANITIZE=thread -DVEXO_BUILD_BENCH=OFF; then
        concurrency build-soak-tsan "$sanitized_seconds" "tsan"
    else
        failed+=("tsan soak build")
    fi
fi

if [ ${#failed[@]} -gt 0 ]; then
    echo "soak failed: ${failed[*]}"
    exit 1
fi
echo "soak passed"
