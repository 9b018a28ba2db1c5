#!/usr/bin/env bash
# Runs every fuzz target of a FINS_FUZZ build for a bounded time, starting from its seed corpus.
# A crash fails the run; the crashing input is left in fuzz/artifacts/ to be added to the corpus.
set -euo pipefail
build=${1:?usage: fuzz/run.sh BUILD_DIR SECONDS}
seconds=${2:-30}
root=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$root/artifacts"
status=0
for bin in "$build"/bin/*_fuzzer; do
    name=$(basename "$bin" _fuzzer)
    corpus="$root/corpus/$name"
    work=$(mktemp -d)
    [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
    echo "fuzzing $name for ${seconds}s"
    if ! "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
         -artifact_prefix="$root/artifacts/${name}-" -print_final_stats=1 "$work" \
         >"$work.log" 2>&1; then
        tail -50 "$work.log"
        echo "fuzz target $name failed" >&2
        status=1
    else
        grep -E 'stat::number_of_executed_units|Done' "$work.log" | tail -2 || true
    fi
    rm -rf "$work" "$work.log"
done
exit $status
