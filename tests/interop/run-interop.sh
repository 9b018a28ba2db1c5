#!/usr/bin/env bash
# Installs the pinned independent FINS client (npm ci from the committed lock) in a work folder
# and runs the interop test against runtime-host. Usage: run-interop.sh RUNTIME_HOST WORK_DIR
set -euo pipefail
host=$(realpath "${1:?runtime-host path}")
work=${2:?work folder}
src=$(cd "$(dirname "$0")" && pwd)
for tool in node npm; do
    command -v "$tool" >/dev/null || { echo "interop: $tool is not installed" >&2; exit 1; }
done
mkdir -p "$work"
cp "$src/package.json" "$src/package-lock.json" "$src/interop.test.js" "$work/"
cd "$work"
npm ci --ignore-scripts --no-audit --no-fund --loglevel=error
RUNTIME_HOST="$host" node --test interop.test.js
