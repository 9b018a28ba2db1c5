#!/usr/bin/env bash
# Builds the project and runs every test: all labels on the plain build, the unit, network and
# end-to-end labels under ASan+UBSan and under TSan, a bounded libFuzzer run per fuzz target, the
# format check, and the aarch64 and armhf cross builds with their tests under qemu-user. Exits
# non-zero at the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${FINS_FUZZ_SECONDS:-30}
# The request-path target (fins) has the most ground to cover and gets longer.
fins_fuzz_seconds=${FINS_FUZZ_FINS_SECONDS:-60}

step() { printf '\n==== %s ====\n' "$*"; }

step "format check"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

# Tests and benchmarks are switched on explicitly: the README's first command configures the same
# build folder without them, and the cache would keep that.
step "plain build and all tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFINS_BUILD_TESTS=ON \
      -DFINS_BUILD_BENCH=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure --no-tests=error -j"$jobs" --timeout 600

# Lock discipline proven by clang: the component alone, compiled with -Wthread-safety (no tests).
step "clang thread-safety build: compile only"
CC=clang CXX=clang++ cmake -S . -B build-tsa -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_FLAGS=-Wthread-safety -DFINS_BUILD_TESTS=OFF -DFINS_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsa -j"$jobs" --target DrvFins

step "ASan+UBSan build: unit, net, e2e, fuzz-regress, reliability faults"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DFINS_SANITIZE=asan-ubsan \
      -DFINS_BUILD_TESTS=ON -DFINS_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs" -L 'unit|net|e2e|fuzz-regress'
# Re-download and stop under load, and abrupt peers, with the host itself under ASan+UBSan and
# LeakSanitizer: the tests fail on any sanitizer report in the host's output.
ctest --test-dir build-asan --output-on-failure -L reliability -R '^Faults\.'

step "TSan build: net, e2e"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFINS_SANITIZE=tsan \
      -DFINS_BUILD_TESTS=ON -DFINS_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir build-tsan --output-on-failure -j"$jobs" -L 'net|e2e'

if [ -f fuzz/CMakeLists.txt ]; then
    step "fuzzing, ${fins_fuzz_seconds}s for the request path, ${fuzz_seconds}s per other target"
    cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFINS_FUZZ=ON \
          -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DFINS_BUILD_BENCH=OFF >/dev/null
    cmake --build build-fuzz -j"$jobs"
    fuzz/run.sh build-fuzz "$fuzz_seconds" fins="$fins_fuzz_seconds"
fi

# ARM builds with their tests under qemu-user. The two targets build side by side (half the
# processors each) and take turns for their tests, which use the same fixed ports.
step "ARM cross builds: aarch64 and armhf, tests under qemu-user, packages"
cross_logs=$(mktemp -d)
cross_pids=()
for target in aarch64 armhf; do
    FINS_CROSS_JOBS=$(( jobs > 1 ? jobs / 2 : 1 )) FINS_CROSS_TEST_LOCK="$cross_logs/tests.lock" \
        tests/cross.sh "$target" >"$cross_logs/$target.log" 2>&1 &
    cross_pids+=($!)
done
cross_failed=0
for i in 0 1; do
    wait "${cross_pids[$i]}" || cross_failed=1
done
cat "$cross_logs/aarch64.log" "$cross_logs/armhf.log"
rm -rf "$cross_logs"
[ "$cross_failed" -eq 0 ] || { echo "a cross build failed" >&2; exit 1; }

step "all tests passed"
