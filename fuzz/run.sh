#!/usr/bin/env bash
# Runs every fuzz target of a FINS_FUZZ build for a bounded time, starting from its seed corpus.
# A crash fails the run; the crashing input is left in fuzz/artifacts/ to be added to the corpus.
#
#   fuzz/run.sh BUILD_DIR [SECONDS] [NAME=SECONDS ...]
#
# SECONDS (default 30) applies to every target; NAME=SECONDS gives one target its own time, e.g.
# `fuzz/run.sh build-fuzz 30 fins=60`. A time of 0 skips the target: `fuzz/run.sh build-fuzz 0
# fins=60` runs the request-path target alone.
set -euo pipefail
build=${1:?usage: fuzz/run.sh BUILD_DIR [SECONDS] [NAME=SECONDS ...]}
seconds=${2:-30}
shift $(($# < 2 ? $# : 2))
declare -A own_seconds=()
for override in "$@"; do
    if [[ ! $override =~ ^([A-Za-z0-9_-]+)=([0-9]+)$ ]]; then
        echo "fuzz/run.sh: bad override '$override' (want NAME=SECONDS)" >&2
        exit 2
    fi
    own_seconds[${BASH_REMATCH[1]}]=${BASH_REMATCH[2]}
done
root=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$root/artifacts"
status=0
ran=0
for bin in "$build"/bin/*_fuzzer; do
    [ -x "$bin" ] || continue
    name=$(basename "$bin" _fuzzer)
    time=${own_seconds[$name]:-$seconds}
    [ "$time" -gt 0 ] || continue
    ran=$((ran + 1))
    corpus="$root/corpus/$name"
    work=$(mktemp -d)
    [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
    echo "fuzzing $name for ${time}s"
    if ! "$bin" -max_total_time="$time" -timeout=10 -rss_limit_mb=2048 \
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
if [ "$ran" -eq 0 ]; then
    echo "fuzz/run.sh: no fuzz target ran from $build/bin" >&2
    status=1
fi
exit $status
