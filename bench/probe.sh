#!/usr/bin/env bash
# How much a FINS flood holds up a control task on the server's core, by server setting.
#
#   bench/probe.sh            5-second probes (the figures)
#   bench/probe.sh --quick    2-second probes, for development
#   --strict (with either)    exit status 3 when a target is missed (a MISS in the table)
#
# Builds in Release into build-release and starts build-release/bin/runtime-host pinned to CPU 1,
# once per server setting (a settings file with [server] cpu_share and priority). Run it as root:
# the loop's threads then run SCHED_FIFO as in a plant (the table header shows their class as
# checked). For each setting a 1 ms periodic task, bench/latency-probe, runs on CPU 1 for the probe
# time, once at ordinary scheduling and once at SCHED_FIFO 10 (below the server's default 21):
# with the server idle, and under a flood of fins-bench with 8 TCP connections pinned to CPU 0.
# The table gives the probe's lateness (how late each period starts: p50, p99, max, periods later
# than 10 ms) and the server's answered rate over the flood, also as a share of the rate at
# cpu_share 100 in the same run.
#
# Targets (the SCHED_FIFO 10 probe, under the flood): at cpu_share 50, p99 under 10 ms, max under
# 15 ms and at least 40 % of the unbounded rate; at priority 0, p99 under 1 ms and max within twice
# the idle server's max of the same run. Figures are noise on a busy machine.
# Progress goes to standard error, the table to standard output. Exit status 1 when the server
# could not be started or a run failed.
set -euo pipefail
cd "$(dirname "$0")/.."

PROBE_SECONDS=5
STRICT=0
usage() { echo "usage: bench/probe.sh [--quick] [--strict]" >&2; exit 2; }
for arg in "$@"; do
    case $arg in
    --quick) PROBE_SECONDS=2 ;;
    --strict) STRICT=1 ;;
    *) usage ;;
    esac
done

BUILD=build-release # the Release build bench/run.sh uses too
BIN=$BUILD/bin
FINS_PORT=9600
CLIENT_CPU=0
SERVER_CPU=1
PROBE_FIFO=10
FLOOD_CONNS=8
FLOOD_RAMP_SEC=1 # the flood runs this long before the probe starts, and as long after it
PORT_WAIT_SEC=600
LOGDIR=$(mktemp -d /tmp/fins-probe.XXXXXX)
PIDS=()

# name | settings ([server] keys) | flood
CASES=(
    "idle server|cpu_share = 100|no"
    "flood, cpu_share 100|cpu_share = 100|yes"
    "flood, cpu_share 50|cpu_share = 50|yes"
    "flood, priority 0|priority = 0|yes"
)

say() { echo "[probe] $*" >&2; }

# shellcheck disable=SC2317 # called by the EXIT trap
cleanup() {
    local pid
    for pid in "${PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$LOGDIR"
}
trap cleanup EXIT

if [ "$(nproc)" -lt 2 ]; then
    say "needs two CPUs (the server's core and the client's)"
    exit 1
fi

build() {
    say "building in Release ($BUILD)"
    cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DFINS_BUILD_TESTS=OFF >/dev/null
    cmake --build "$BUILD" -j2 --target runtime-host fins-bench latency-probe \
        >"$LOGDIR/build.log" 2>&1 || { cat "$LOGDIR/build.log" >&2; exit 1; }
}

wait_port_free() {
    for _ in $(seq "$PORT_WAIT_SEC"); do
        [ -z "$(ss -Hltn "sport = :$FINS_PORT")" ] && return 0
        say "port $FINS_PORT is in use (a test may be running); waiting"
        sleep 1
    done
    say "port $FINS_PORT stays in use"
    exit 1
}

# Starts runtime-host with the [server] settings $1; HOST_PID once it answers on the port.
start_host() {
    printf '[server]\n%s\n' "$1" >"$LOGDIR/probe.ini"
    wait_port_free
    taskset -c "$SERVER_CPU" "$BIN/runtime-host" --config "$LOGDIR/probe.ini" \
        --log-level warning >"$LOGDIR/host.log" 2>&1 &
    HOST_PID=$!
    PIDS+=("$HOST_PID")
    for _ in $(seq 100); do
        if "$BIN/fins-bench" --count 1 --timeout-ms 500 >/dev/null 2>&1 &&
            ss -Hltnp "sport = :$FINS_PORT" | grep -q "pid=$HOST_PID,"; then
            return 0
        fi
        kill -0 "$HOST_PID" 2>/dev/null || break
        sleep 0.1
    done
    say "runtime-host did not answer on port $FINS_PORT; its log:"
    tail -20 "$LOGDIR/host.log" >&2
    exit 1
}

stop_host() {
    kill -TERM "$HOST_PID" 2>/dev/null || true
    wait "$HOST_PID" 2>/dev/null || true
    PIDS=()
}

# The scheduling classes of the loop's threads (ps: FF real-time, TS ordinary).
host_classes() {
    ps -L -o cls=,comm= -p "$HOST_PID" |
        awk '$2 ~ /^(finsEpollRd|finsEpollWr|SockSend)$/ { print $1 }' | sort -u | tr '\n' ' '
}

field() { tr ' ' '\n' <<<"$2" | awk -F= -v k="$1" '$1 == k { print $2 }'; }

declare -A P50 P99 MAX LATE RATE CLASSES

# Runs the probe at scheduling $2 (ordinary or fifo) for case $1; under a flood, files the rate.
probe_one() {
    local idx=$1 sched=$2 flood line bench_pid=""
    local prefix=(taskset -c "$SERVER_CPU")
    IFS='|' read -r _ _ flood <<<"${CASES[$idx]}"
    if [ "$sched" = fifo ]; then prefix=(chrt -f "$PROBE_FIFO" "${prefix[@]}"); fi
    if [ "$flood" = yes ]; then
        taskset -c "$CLIENT_CPU" "$BIN/fins-bench" --tcp --conns "$FLOOD_CONNS" \
            --seconds $((PROBE_SECONDS + 2 * FLOOD_RAMP_SEC)) >"$LOGDIR/bench.out" 2>&1 &
        bench_pid=$!
        sleep "$FLOOD_RAMP_SEC"
    fi
    line=$("${prefix[@]}" "$BIN/latency-probe" --seconds "$PROBE_SECONDS")
    P50[$idx,$sched]=$(field p50_us "$line") P99[$idx,$sched]=$(field p99_us "$line")
    MAX[$idx,$sched]=$(field max_us "$line") LATE[$idx,$sched]=$(field late_10ms "$line")
    if [ -n "$bench_pid" ]; then
        if ! wait "$bench_pid"; then
            say "fins-bench failed: $(tail -3 "$LOGDIR/bench.out")"
            exit 1
        fi
        RATE[$idx,$sched]=$(field req/s "$(tail -1 "$LOGDIR/bench.out")")
    fi
    say "  $sched probe: $line${bench_pid:+, server $(tail -1 "$LOGDIR/bench.out")}"
}

run_case() {
    local idx=$1 name settings
    IFS='|' read -r name settings _ <<<"${CASES[$idx]}"
    say "$name"
    start_host "$settings"
    CLASSES[$idx]=$(host_classes)
    probe_one "$idx" ordinary
    probe_one "$idx" fifo
    stop_host
}

us_text() { awk -v u="$1" 'BEGIN { if (u == "") print "-"; else if (u >= 1000) printf "%.1f ms", u / 1000; else printf "%d us", u }'; }

# "pass" or "MISS": every condition given as "value op limit" holds.
judge() {
    awk -v c="$*" 'BEGIN { n = split(c, t, " "); ok = 1
        for (i = 1; i + 2 <= n; i += 3) { if (t[i] == "") ok = 0
            else if (t[i + 1] == "<" && !(t[i] + 0 < t[i + 2] + 0)) ok = 0
            else if (t[i + 1] == ">=" && !(t[i] + 0 >= t[i + 2] + 0)) ok = 0 }
        print (ok ? "pass" : "MISS") }'
}

# Target text and mark of case $1 for the SCHED_FIFO probe.
target_of() {
    local idx=$1 share
    share=$(awk -v r="${RATE[$idx,fifo]:-0}" -v b="${RATE[1,fifo]:-0}" 'BEGIN { print (b > 0 ? r / b : 0) }')
    case ${CASES[$idx]%%|*} in
    "flood, cpu_share 50")
        echo "p99 < 10 ms, max < 15 ms, rate >= 40 %|$(judge "${P99[$idx,fifo]}" "<" 10000 \
            "${MAX[$idx,fifo]}" "<" 15000 "$share" ">=" 0.4)" ;;
    "flood, priority 0")
        echo "p99 < 1 ms, max <= 2x idle max|$(judge "${P99[$idx,fifo]}" "<" 1000 \
            "${MAX[$idx,fifo]}" "<" $((2 * ${MAX[0,fifo]} + 1)))" ;;
    *) echo "-|-" ;;
    esac
}

print_table() {
    local idx sched name rate share target mark
    echo
    echo "Probe on the server's core (CPU $SERVER_CPU): a 1 ms periodic task, ${PROBE_SECONDS} s per" \
        "row; flood: fins-bench, $FLOOD_CONNS TCP connections on CPU $CLIENT_CPU"
    printf "%-22s %-8s %-8s %9s %9s %9s %6s %10s %6s  %-38s %s\n" setting "threads" probe p50 p99 \
        max ">10ms" "req/s" "rate" target mark
    for idx in "${!CASES[@]}"; do
        name=${CASES[$idx]%%|*}
        for sched in ordinary fifo; do
            rate=${RATE[$idx,$sched]:-} share=- target=- mark=-
            if [ -n "$rate" ] && [ -n "${RATE[1,$sched]:-}" ]; then
                share=$(awk -v r="$rate" -v b="${RATE[1,$sched]}" 'BEGIN { printf "%.0f%%", 100 * r / b }')
            fi
            if [ "$sched" = fifo ]; then IFS='|' read -r target mark <<<"$(target_of "$idx")"; fi
            printf "%-22s %-8s %-8s %9s %9s %9s %6s %10s %6s  %-38s %s\n" "$name" \
                "${CLASSES[$idx]}" "$([ "$sched" = fifo ] && echo "FIFO $PROBE_FIFO" || echo ordinary)" \
                "$(us_text "${P50[$idx,$sched]}")" "$(us_text "${P99[$idx,$sched]}")" \
                "$(us_text "${MAX[$idx,$sched]}")" "${LATE[$idx,$sched]}" "${rate:-"-"}" "$share" \
                "$target" "$mark"
        done
    done
    echo "(threads: the loop threads' class, FF real-time, TS ordinary; rate: of the cpu_share 100 flood)"
}

main() {
    local table
    if [ "$(id -u)" -ne 0 ]; then
        say "not root: the loop threads run at ordinary scheduling and chrt -f may be refused"
    fi
    build
    for idx in "${!CASES[@]}"; do
        run_case "$idx"
    done
    table=$(print_table)
    echo "$table"
    if [ "$STRICT" -eq 1 ] && grep -qw MISS <<<"$table"; then
        say "a target was missed (--strict)"
        exit 3
    fi
}

main
