#!/usr/bin/env bash
# The Debian package end to end: cpack makes it from the build folder, dpkg -x installs it into a
# scratch root, and the installed runtime-host reports its version and serves one fins round trip
# on a port of its own, with the installed example settings, every key set to its documented
# default (which must load without a warning).
set -euo pipefail
build=$(cd "${1:?usage: package-test.sh BUILD_DIR}" && pwd)
port=${FINS_PACKAGE_TEST_PORT:-9611}
scratch=$(mktemp -d)
host_pid=
cleanup() {
    if [ -n "$host_pid" ]; then kill "$host_pid" 2>/dev/null || true; fi
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
    echo "package-test: $*" >&2
    [ -f "$scratch/host.log" ] && cat "$scratch/host.log" >&2
    exit 1
}

(cd "$build" && cpack -G DEB -B "$scratch/pkg" >/dev/null)
dpkg -x "$scratch"/pkg/*.deb "$scratch/root"
bin=$scratch/root/usr/bin

version=$("$bin/runtime-host" --version)
grep -q "^runtime-host [0-9.]* (commit [^ ]*)$" <<<"$version" || fail "no version line: $version"
# The installed host finds the library in ../lib.
grep -q "^component $scratch/root/usr/lib/libDrvFins.so: id 0x17D24502, version 0x" \
    <<<"$version" || fail "no component line: $version"

sed -E 's/^; ([a-z_]+ =)/\1/' "$scratch/root/usr/share/drvfins/DrvFins.ini.example" \
    >"$scratch/defaults.ini"
grep -q "^port = 9600$" "$scratch/defaults.ini" || fail "the example sets no port"
"$bin/runtime-host" --config "$scratch/defaults.ini" --port "$port" --log-level info \
    2>"$scratch/host.log" &
host_pid=$!
for _ in $(seq 1 100); do
    "$bin/fins" --port "$port" --timeout 200 read D0 >/dev/null 2>&1 && break
    sleep 0.1
done
"$bin/fins" --port "$port" write D100 4660 >/dev/null || fail "write failed"
out=$("$bin/fins" --port "$port" read D100) || fail "read failed"
[ "$out" = "D100 = 4660 (0x1234)" ] || fail "read back: $out"
kill -INT "$host_pid"
status=0
wait "$host_pid" || status=$?
host_pid=
[ "$status" -eq 0 ] || fail "runtime-host exited with $status"
grep -q "settings: bind 0.0.0.0, port $port, tcp on, udp on" "$scratch/host.log" ||
    fail "no settings line"
if grep -q "defaults.ini:" "$scratch/host.log"; then fail "the example's defaults were refused"; fi
echo "package-test: ok"
