#!/usr/bin/env bash
# Cross build for an ARM target (aarch64 or armhf) with Debian's cross compiler: builds the library,
# the programs and the tests in build-TARGET, runs the unit, fins, net, e2e and fuzz-regress labels
# under qemu-user (hosts and clients as emulated processes on loopback), then makes the Debian
# package and checks its architecture and its library's ELF machine. Exits non-zero on any failure.
# FINS_CROSS_JOBS sets the build and test parallelism (default: the number of processors);
# FINS_CROSS_TEST_LOCK names a file locked for the test phase only (the tests use fixed ports, so
# two targets built side by side take turns there).
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?usage: tests/cross.sh aarch64|armhf}
case $target in
aarch64) toolchain=aarch64-linux-gnu deb_arch=arm64 machine=AArch64 class=ELF64 ;;
armhf) toolchain=arm-linux-gnueabihf deb_arch=armhf machine=ARM class=ELF32 ;;
*) echo "cross.sh: unknown target $target (aarch64 or armhf)" >&2; exit 2 ;;
esac
build=build-$target
jobs=${FINS_CROSS_JOBS:-$(nproc)}
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
say() { printf '[cross %s] %s\n' "$target" "$*"; }
fail() { say "FAILED: $*" >&2; exit 1; }

say "configure and build"
cmake -S . -B "$build" --toolchain "cmake/$toolchain.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DFINS_BUILD_TESTS=ON -DFINS_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$build" -j"$jobs"
for program in libDrvFins.so runtime-host fins fins-bench; do
    [ -f "$build/bin/$program" ] || fail "$program was not built"
done

say "tests under qemu-user"
lock=()
[ -n "${FINS_CROSS_TEST_LOCK:-}" ] && lock=(flock "$FINS_CROSS_TEST_LOCK")
"${lock[@]}" ctest --test-dir "$build" --output-on-failure --no-tests=error -j"$jobs" --timeout 600 \
      -L '^(unit|fins|net|e2e|fuzz-regress)$'

say "Debian package"
rm -rf "$build/package"
(cd "$build" && cpack -G DEB -B package >/dev/null)
deb=$(echo "$build"/package/*.deb)
[ -f "$deb" ] || fail "no package in $build/package"
arch=$(dpkg-deb -f "$deb" Architecture)
[ "$arch" = "$deb_arch" ] || fail "package architecture $arch, not $deb_arch"
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/libDrvFins.so >"$build/package/lib.so"
header=$(readelf -h "$build/package/lib.so")
grep -Eq "Class: +$class\$" <<<"$header" || fail "the packaged library is not $class"
grep -Eq "Machine: +$machine\$" <<<"$header" || fail "the packaged library is not for $machine"
say "ok: $(basename "$deb"), $arch, $class $machine"
