#!/usr/bin/env bash
# The C/C++ suite cross-built for an ARM architecture and run under qemu-user:
#   scripts/test-cross.sh arm64|armhf
#   1. the ARCH development packages (scripts/setup.sh --cross ARCH),
#   2. configure build-ARCH/ with cmake/toolchains/ARCH.cmake (Release, no benchmarks; warnings
#      are errors under CI as in the amd64 stages),
#   3. build the test programs only, leaving out those that tests/cross/not-run.txt lists (with
#      the reason each cannot run under emulation),
#   4. ctest, which starts every test program through qemu-user (the toolchain's emulator); the
#      usbfs suites get umockdev's ARM preload library through the emulator.
# Ends with "ARCH: N passed, M failed"; exits non-zero when anything fails.
#   VEXO_CROSS_BUILD_DIR   build directory (default build-ARCH)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
arch=${1:-}
case "$arch" in
arm64 | armhf) ;;
*) echo "usage: $0 arm64|armhf" >&2; exit 2 ;;
esac
build=${VEXO_CROSS_BUILD_DIR:-build-$arch}
jobs=$(nproc)
werror=OFF
[ -n "${CI:-}" ] && werror=ON

fail() { echo "$arch: $1"; echo "$arch: 0 passed, 1 failed"; exit 1; }
# cpu_now: sets cpu to the CPU seconds (user + system) of every program this script has waited
# for so far (`times` in this shell, not in a subshell, which would count only its own).
times_file=$(mktemp)
trap 'rm -f "$times_file"' EXIT
cpu_now() {
    times >"$times_file"
    cpu=$(tail -n 1 "$times_file" |
        awk '{ t = 0; for (i = 1; i <= 2; i++) { split($i, p, /[ms]/); t += p[1] * 60 + p[2] } printf "%d", t }')
}

scripts/setup.sh --cross "$arch" || fail "setup failed"

# Release as the quick start builds it: -O2 (g++ 12 raises false -Wrestrict warnings at -O3).
echo "== $arch: configure ($build)"
mkdir -p "$build"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG" \
    "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" -DVEXO_WERROR=$werror -DVEXO_BUILD_BENCH=OFF \
    >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; fail "configure failed"; }

# Names of tests/cross/not-run.txt, as one ctest pattern: a program that is not built shows as
# "<program>_NOT_BUILT" until its tests are listed.
mapfile -t not_run < <(sed -E '/^(#|$)/d; s/[[:space:]].*//' tests/cross/not-run.txt)
# A name also covers the cases of a parameterised test ("NAME/case  # GetParam() = ...").
exclude="^($(printf '%s|' "${not_run[@]}" | sed 's/|$//; s/\./\\./g'))(_NOT_BUILT)?(\$|[ /])"

# The test programs: every GoogleTest program (each has a "<program>[1]_include.cmake" of test
# discovery), the programs that plain tests run, and the libraries whose exports are checked.
mapfile -t programs < <(find "$build" -name '*\[1\]_include.cmake' -printf '%f\n' |
    sed 's/\[1\]_include\.cmake$//' | grep -Ev "$exclude" | sort)
programs+=(c_capture capture_c capture_cpp fault_soak concurrency_soak vexo vexo_cpp)
echo "== $arch: build ${programs[*]}"
start=$(date +%s)
cpu_now
cpu_start=$cpu
cmake --build "$build" -j "$jobs" --target "${programs[@]}" || fail "build failed"
cpu_now
echo "$arch: built in $(($(date +%s) - start)) s ($((cpu - cpu_start)) s of CPU)"

echo "== $arch: ctest, every test program under qemu-user"
log=$(mktemp)
start=$(date +%s)
cpu_now
cpu_start=$cpu
ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 600 -E "$exclude" 2>&1 | tee "$log"
rc=${PIPESTATUS[0]}
cpu_now
echo "$arch: tests ran in $(($(date +%s) - start)) s ($((cpu - cpu_start)) s of CPU)"
line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
rm -f "$log"
[ -n "$line" ] || fail "ctest ran no test"
nfail=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
ntotal=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
echo "$arch: not run under emulation (tests/cross/not-run.txt): ${not_run[*]}"
echo "$arch: $((ntotal - nfail)) passed, $nfail failed"
[ "$rc" -eq 0 ] && [ "$nfail" -eq 0 ]
