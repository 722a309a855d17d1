#!/usr/bin/env bash
# Sets everything up and runs every test:
#   1. the whole suite (build/),
#   2. the whole suite again under AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/),
#   3. the concurrency suites under ThreadSanitizer (build-tsan/),
#   4. a short run of every fuzz target (build-fuzz/, clang + libFuzzer),
#   5. the Python tests, when the module is built,
#   6. the Windows build (mingw-w64 cross build, build-mingw/) under wine: scripts/test-windows.sh,
#   7. the Debian packages (build-deb/): built, checked by lintian, installed with apt-get, used
#      from outside the source tree and purged: scripts/test-package.sh,
#   8. the quick start's demo (build-demo/, its own lean build): scripts/demo.sh, whose pictures
#      must open as PNG files,
#   9. the ARM builds, arm64 and armhf: the C/C++ suite cross-built and run under qemu-user
#      (scripts/test-cross.sh, build-ARCH/), and the Debian packages for each architecture
#      (scripts/package.sh --arch, build-deb-ARCH/) checked by lintian and for their architecture.
# Exits non-zero when any stage fails; the last line sums the test counts of all stages.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
werror=OFF
[ -n "${CI:-}" ] && werror=ON
fuzz_seconds=${VEXO_FUZZ_SECONDS:-10}

scripts/setup.sh || { echo "setup failed"; exit 1; }

failed_stages=()
total_passed=0
total_failed=0

# run_ctest STAGE BUILD_DIR [ctest args...]: runs ctest, adds its counts to the totals.
run_ctest() {
    local stage=$1 dir=$2
    shift 2
    local log
    log=$(mktemp)
    echo "== $stage: ctest"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600 "$@" 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    local line
    line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
    if [ -n "$line" ]; then
        local nfail ntotal
        nfail=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
        ntotal=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
        total_passed=$((total_passed + ntotal - nfail))
        total_failed=$((total_failed + nfail))
    elif grep -q 'No tests were found' "$log"; then
        echo "$stage: no tests found"
    fi
    rm -f "$log"
    [ "$rc" -eq 0 ] || failed_stages+=("$stage")
}

build() {  # build STAGE DIR [--target T] cmake-args...
    local stage=$1 dir=$2
    shift 2
    local target=()
    if [ "${1:-}" = "--target" ]; then
        target=(--target "$2")
        shift 2
    fi
    echo "== $stage: build ($dir)"
    if ! { cmake -S . -B "$dir" -DVEXO_WERROR=$werror "$@" >/dev/null &&
           cmake --build "$dir" -j "$jobs" "${target[@]}"; }; then
        failed_stages+=("$stage build")
        return 1
    fi
}

# 1. Whole suite.
run_ctest "suite" build

# 2. ASan + UBSan.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
if build "asan+ubsan" build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 \
    -DVEXO_SANITIZE=address,undefined -DVEXO_BUILD_BENCH=OFF; then
    run_ctest "asan+ubsan" build-asan
fi

# 3. TSan, concurrency suites only.
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
if build "tsan" build-tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 \
    -DVEXO_SANITIZE=thread -DVEXO_BUILD_BENCH=OFF; then
    run_ctest "tsan" build-tsan -L concurrency
fi

# 4. Fuzz smoke runs.
if CC=clang CXX=clang++ build "fuzz" build-fuzz --target fuzzers -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVEXO_BUILD_FUZZ=ON -DVEXO_BUILD_TESTS=OFF -DVEXO_BUILD_BENCH=OFF \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++; then
    for f in build-fuzz/fuzz/fuzz_*; do
        [ -x "$f" ] || continue
        name=$(basename "$f")
        corpus="$root/fuzz/corpus/$name"
        mkdir -p "build-fuzz/corpus/$name"
        echo "== fuzz: $name for ${fuzz_seconds}s"
        if "$f" -max_total_time="$fuzz_seconds" -print_final_stats=0 "build-fuzz/corpus/$name" \
            $( [ -d "$corpus" ] && echo "$corpus" ) >"build-fuzz/$name.log" 2>&1; then
            total_passed=$((total_passed + 1))
        else
            tail -n 40 "build-fuzz/$name.log"
            total_failed=$((total_failed + 1))
            failed_stages+=("fuzz $name")
        fi
    done
fi

# 5. Python tests.
if [ -f tests/python/conftest.py ] && [ -d build/python ]; then
    echo "== python: pytest"
    log=$(mktemp)
    VEXO_BUILD_DIR="$root/build" /usr/bin/python3 -m pytest -q tests/python 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    p=$(grep -Eo '[0-9]+ passed' "$log" | tail -n 1 | grep -Eo '[0-9]+' || echo 0)
    f=$(grep -Eo '[0-9]+ failed' "$log" | tail -n 1 | grep -Eo '[0-9]+' || echo 0)
    total_passed=$((total_passed + p))
    total_failed=$((total_failed + f))
    [ "$rc" -eq 0 ] || failed_stages+=("python")
    rm -f "$log"
fi

# 6. Windows build under wine.
echo "== windows: scripts/test-windows.sh"
log=$(mktemp)
scripts/test-windows.sh 2>&1 | tee "$log"
rc=${PIPESTATUS[0]}
line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
if [ -n "$line" ]; then
    nfail=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    ntotal=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
    total_passed=$((total_passed + ntotal - nfail))
    total_failed=$((total_failed + nfail))
fi
rm -f "$log"
[ "$rc" -eq 0 ] || failed_stages+=("windows")

# 7. Debian packages.
echo "== package: scripts/test-package.sh"
log=$(mktemp)
scripts/test-package.sh 2>&1 | tee "$log"
rc=${PIPESTATUS[0]}
line=$(grep -E '^package: [0-9]+ passed, [0-9]+ failed$' "$log" | tail -n 1)
if [ -n "$line" ]; then
    total_passed=$((total_passed + $(sed -E 's/^package: ([0-9]+) passed.*/\1/' <<<"$line")))
    total_failed=$((total_failed + $(sed -E 's/.* ([0-9]+) failed$/\1/' <<<"$line")))
fi
rm -f "$log"
[ "$rc" -eq 0 ] || failed_stages+=("package")

# 8. The quick start's demo, as a new user runs it.
echo "== demo: scripts/demo.sh"
rm -rf frames
if scripts/demo.sh --quiet && /usr/bin/python3 scripts/check_pictures.py frames 30; then
    total_passed=$((total_passed + 1))
else
    total_failed=$((total_failed + 1))
    failed_stages+=("demo")
fi

# 9. ARM: tests under emulation, then the packages.
for arch in arm64 armhf; do
    echo "== $arch: scripts/test-cross.sh $arch"
    stage_start=$(date +%s)
    log=$(mktemp)
    scripts/test-cross.sh "$arch" 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
    line=$(grep -E "^$arch: [0-9]+ passed, [0-9]+ failed$" "$log" | tail -n 1)
    if [ -n "$line" ]; then
        total_passed=$((total_passed + $(sed -E 's/^[a-z0-9]+: ([0-9]+) passed.*/\1/' <<<"$line")))
        total_failed=$((total_failed + $(sed -E 's/.* ([0-9]+) failed$/\1/' <<<"$line")))
    fi
    rm -f "$log"
    [ "$rc" -eq 0 ] || failed_stages+=("$arch")
    echo "== $arch: tests took $(($(date +%s) - stage_start)) s"

    echo "== $arch: scripts/package.sh --arch $arch"
    stage_start=$(date +%s)
    if scripts/package.sh --arch "$arch" && scripts/check-cross-packages.sh "$arch"; then
        total_passed=$((total_passed + 1))
    else
        total_failed=$((total_failed + 1))
        failed_stages+=("$arch packages")
    fi
    echo "== $arch: packages took $(($(date +%s) - stage_start)) s"
done

if [ ${#failed_stages[@]} -gt 0 ]; then
    echo "failed stages: ${failed_stages[*]}"
    echo "summary: $total_passed passed, $((total_failed > 0 ? total_failed : 1)) failed"
    exit 1
fi
echo "summary: $total_passed passed, $total_failed failed"
