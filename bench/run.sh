#!/usr/bin/env bash
# Measures the FINS server side by side with the reference responder and prints one table.
#
#   bench/run.sh           3 interleaved rounds of 5-second runs (medians), the ordinary-scheduling
#                          section, the scale run, the request path benchmark
#   bench/run.sh --quick   1 round of 2-second runs, for development
#   --strict (with either) exit status 3 when a target is missed (a MISS in the results)
#
# Builds in Release into build-release, starts build-release/bin/runtime-host (port 9600) and two
# reference responders (10-word and 2000-word answers, free loopback ports), and runs every
# configuration against our server and against the reference in turn, alternating which goes
# first, so that drift on a shared machine hits both alike. Absolute figures drift here by 15 to
# 25 percent from run to run; the ratios within one run are what the targets are about.
#
# How it stands for a deployment, where the client sits on another machine:
#   - fins-bench is pinned to CPU 0 and every server (ours and the reference) to CPU 1 (taskset),
#     so both servers get the same single core and every round trip crosses cores, as a packet
#     from the network does. Without pinning the scheduler tends to put the client and the
#     single-threaded reference on one core, which halves its latency and skews the ratios.
#   - The ratio table measures runtime-host as it runs by default: its loop threads at real-time
#     priority where that is allowed (as root), as the runtime runs them in a plant. The reference
#     then runs at the same real-time priority (chrt), so both servers have their core on the
#     same terms. The script checks the host threads' scheduling class and prints it.
#   - A short section then measures both at ordinary scheduling, for information: the host
#     without CAP_SYS_NICE (setpriv), so the component's fallback engages. It is skipped where
#     real-time scheduling is not allowed (the table above is then the ordinary one).
#   - The idle check uses the default host, the scale run the ordinary one.
# On a machine with fewer than two CPUs nothing is pinned.
# Progress goes to standard error, the results to standard output. Exit status 1 when a run
# failed (a wrong or missing response) or the server could not be started; with --strict, 3 when
# every run succeeded but a target was missed.
set -euo pipefail
cd "$(dirname "$0")/.."

ROUNDS=3
SECONDS_PER_RUN=5
BENCH_MIN_TIME=0.5
STRICT=0
for arg in "$@"; do
    case $arg in
    --quick) ROUNDS=1 SECONDS_PER_RUN=2 BENCH_MIN_TIME=0.1 ;;
    --strict) STRICT=1 ;;
    *)
        echo "usage: bench/run.sh [--quick] [--strict]" >&2
        exit 2
        ;;
    esac
done

BUILD=build-release
BIN=$BUILD/bin
FINS_PORT=9600
SCALE_CONNS=10000
SCALE_REQUESTS=50000 # five reads per connection
IDLE_SECONDS=3
RSS_TARGET_KIB=$((64 * 1024))
CLK_TCK=$(getconf CLK_TCK)
LOGDIR=$(mktemp -d /tmp/fins-bench-run.XXXXXX)
CLIENT_CPU=0
SERVER_CPU=1
ORD_CONFIGS=(0 1 5) # matrix rows measured again with both servers at ordinary scheduling
RT_PRIORITY=21      # the component's loop threads run at this SCHED_FIFO priority
THREAD_FALLBACK_LOG="realtime scheduling refused"
PORT_WAIT_SEC=600   # tests of others may hold port 9600 for minutes
HOST_START_TRIES=5
FAILED=0
PIDS=()

# name | fins-bench arguments | which responder | target: kind (rate or p50) and value | at most
# this many times the reference's CPU time per request (empty: not judged)
MATRIX=(
    "TCP 1 conn|--tcp --conns 1|10|p50|1.3|"
    "TCP 8 conns|--tcp --conns 8|10|rate|0.85|1.4"
    "TCP 64 conns|--tcp --conns 64|10|rate|0.85|"
    "TCP 1 conn, pipeline 16|--tcp --conns 1 --pipeline 16|10|rate|0.85|"
    "UDP 1 socket|--udp --conns 1|10|rate|0.85|"
    "UDP 8 sockets|--udp --conns 8|10|rate|0.85|1.4"
    "UDP 64 sockets|--udp --conns 64|10|rate|0.85|"
    "TCP 8 conns, 2000-word reads|--tcp --conns 8 --words 2000|2000|rate|0.85|"
    "TCP 8 conns, 10-word writes|--tcp --conns 8 --write|10|rate|0.85|"
)

say() { echo "[bench] $*" >&2; }

# Command prefixes that pin the load client and the servers to their cores (empty on one CPU).
PIN_CLIENT=()
PIN_SERVER=()
if [ "$(nproc)" -ge 2 ]; then
    PIN_CLIENT=(taskset -c "$CLIENT_CPU")
    PIN_SERVER=(taskset -c "$SERVER_CPU")
fi
# Prefix that withholds real-time scheduling from the host: as root, dropping CAP_SYS_NICE from
# the bounding and inheritable sets (the real-time limit of root's shell is then what refuses);
# anyone else has no such right to drop.
NO_RT=()
if [ "$(id -u)" -eq 0 ]; then
    NO_RT=(setpriv --inh-caps=-sys_nice --bounding-set=-sys_nice)
fi

# shellcheck disable=SC2317 # called by the EXIT trap
cleanup() {
    for pid in "${PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    # The servers only: a bare wait would also wait for the results copy (tee), which ends only
    # when this shell closes its standard output.
    for pid in "${PIDS[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT

build() {
    say "building in Release ($BUILD)"
    cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DFINS_BUILD_TESTS=OFF >/dev/null
    local targets=(fins-bench reference-responder runtime-host)
    # grep reads all of the list: quitting early would break the pipe and fail the test
    if cmake --build "$BUILD" --target help | grep RequestPathBench >/dev/null; then
        targets+=(RequestPathBench)
    fi
    cmake --build "$BUILD" -j2 --target "${targets[@]}" >"$LOGDIR/build.log" 2>&1 ||
        { cat "$LOGDIR/build.log" >&2; exit 1; }
}

# utime + stime in clock ticks from a /proc stat file (fields 14 and 15; the command name in field
# 2 is skipped by cutting at its closing parenthesis); cpu_ticks: of a whole process.
stat_ticks() { sed 's/.*) //' "$1" | awk '{ print $12 + $13 }'; }
cpu_ticks() { stat_ticks "/proc/$1/stat"; }
status_kib() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }

# Stops a process this script started; it is then forgotten, so that its id, once free for reuse,
# is never signalled again.
stop_pid() {
    local pid=$1 kept=() p
    for p in "${PIDS[@]}"; do
        if [ "$p" != "$pid" ]; then kept+=("$p"); fi
    done
    PIDS=("${kept[@]}")
    kill -TERM "$pid" 2>/dev/null || return 0
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

port_in_use() { [ -n "$(ss -Hltn "sport = :$FINS_PORT")" ]; }

# Waits (up to PORT_WAIT_SEC) until no one listens on the FINS port.
wait_port_free() {
    for _ in $(seq "$PORT_WAIT_SEC"); do
        port_in_use || return 0
        say "port $FINS_PORT is in use (a test may be running); waiting"
        sleep 1
    done
    say "port $FINS_PORT stays in use; not measuring someone else's server"
    exit 1
}

# True once the host answers a read on the FINS port and is the process listening there (another
# server may have taken the port between the check and the start; that host then cannot bind).
host_answers() {
    for _ in $(seq 100); do
        if "$BIN/fins-bench" --count 1 --timeout-ms 500 >/dev/null 2>&1; then
            ss -Hltnp "sport = :$FINS_PORT" | grep -q "pid=$HOST_PID,"
            return
        fi
        kill -0 "$HOST_PID" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# Starts runtime-host at scheduling $1 (ordinary or realtime) and waits until it answers a read;
# HOST_PID is then its process id and HOST_SCHED its threads' class. REF_SCHED is the prefix that
# starts a reference responder at the same scheduling.
start_host() {
    local mode=$1 prefix=()
    if [ "$mode" = ordinary ]; then prefix=("${NO_RT[@]}"); fi
    for _ in $(seq "$HOST_START_TRIES"); do
        wait_port_free
        : >"$LOGDIR/host.log"
        "${prefix[@]}" "${PIN_SERVER[@]}" "$BIN/runtime-host" >>"$LOGDIR/host.log" 2>&1 &
        HOST_PID=$!
        PIDS+=("$HOST_PID")
        if host_answers; then
            HOST_SCHED=$(host_scheduling)
            REF_SCHED=()
            if [ "$HOST_SCHED" = real-time ]; then REF_SCHED=(chrt -f "$RT_PRIORITY"); fi
            say "runtime-host is up (pid $HOST_PID, server threads: $HOST_SCHED)"
            return 0
        fi
        stop_pid "$HOST_PID"
        say "runtime-host did not take port $FINS_PORT; trying again"
    done
    say "runtime-host did not answer on port $FINS_PORT; its log: $LOGDIR/host.log"
    tail -20 "$LOGDIR/host.log" >&2
    exit 1
}

# Scheduling of the host's loop threads: "ordinary", "real-time", or "mixed" (ps classes TS and FF).
# An ordinary host must also have logged the component's fallback warning.
host_scheduling() {
    local classes
    classes=$(ps -L -o cls=,comm= -p "$HOST_PID" |
        awk '$2 ~ /^(finsEpollRd|finsEpollWr|SockSend)$/ { print $1 }' | sort -u | tr '\n' ' ')
    case $classes in
    "TS ") if grep -q "$THREAD_FALLBACK_LOG" "$LOGDIR/host.log"; then echo ordinary; else
        echo "ordinary (no fallback warning logged)"; fi ;;
    "FF ") echo real-time ;;
    *) echo "mixed: $classes" ;;
    esac
}

# Starts a reference responder answering reads with $1 words; sets REF_PID and REF_PORT.
start_ref() {
    local out="$LOGDIR/ref-$1.out"
    "${REF_SCHED[@]}" "${PIN_SERVER[@]}" "$BIN/reference-responder" --port 0 --words "$1" \
        >"$out" 2>&1 &
    REF_PID=$!
    PIDS+=("$REF_PID")
    for _ in $(seq 50); do
        REF_PORT=$(sed -n 's/.*port=\([0-9]*\).*/\1/p' "$out")
        [ -n "$REF_PORT" ] && return 0
        sleep 0.1
    done
    say "reference-responder did not start"
    exit 1
}

# Value of key $1 in the key=value line $2.
field() { awk -v k="$1" '{ for (i = 1; i <= NF; i++) { split($i, a, "="); if (a[1] == k) print a[2] } }' <<<"$2"; }

median() { tr ' ' '\n' | awk 'NF' | sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

declare -A RATE P50 P99 TICKS REQS ERR

# Runs configuration $2 against side $1 once and files the figures: ours and ord are the host (at
# its default and at ordinary scheduling), ref and ordref the reference in the same rounds.
run_one() {
    local side=$1 idx=$2 name args words port pid line t0
    IFS='|' read -r name args words _ _ _ <<<"${MATRIX[$idx]}"
    if [ "$side" = ours ] || [ "$side" = ord ]; then
        port=$FINS_PORT pid=$HOST_PID
    else
        port=${REF_PORTS[$words]} pid=${REF_PIDS[$words]}
    fi
    t0=$(cpu_ticks "$pid")
    # shellcheck disable=SC2086 # args is a list of options
    if ! line=$("${PIN_CLIENT[@]}" "$BIN/fins-bench" $args --port "$port" --seconds "$SECONDS_PER_RUN" \
        2>"$LOGDIR/err.txt" | tail -1) || [ "${line#req/s=}" = "$line" ]; then
        ERR[$side,$idx]="$(cat "$LOGDIR/err.txt")"
        say "  $side: FAILED: ${ERR[$side,$idx]}"
        FAILED=1
        return 0
    fi
    TICKS[$side,$idx]=$((${TICKS[$side,$idx]:-0} + $(cpu_ticks "$pid") - t0))
    REQS[$side,$idx]=$((${REQS[$side,$idx]:-0} + $(field requests "$line")))
    RATE[$side,$idx]+=" $(field req/s "$line")"
    P50[$side,$idx]+=" $(field p50_us "$line")"
    P99[$side,$idx]+=" $(field p99_us "$line")"
    say "  $side: $line"
}

# Rounds over the matrix rows given after the sides $1 (the host) and $2 (the reference).
run_matrix() {
    local ours=$1 ref=$2 round idx first second
    shift 2
    for round in $(seq "$ROUNDS"); do
        for idx in "$@"; do
            say "round $round/$ROUNDS: ${MATRIX[$idx]%%|*} ($ours)"
            first=$ours second=$ref
            if [ $(((round + idx) % 2)) -eq 0 ]; then first=$ref second=$ours; fi
            run_one "$first" "$idx"
            run_one "$second" "$idx"
        done
    done
}

# "pass" or "MISS" for ratio $1 against target $3 of kind $2 (rate: at least; p50 or max: at most).
mark() {
    awk -v r="$1" -v kind="$2" -v t="$3" 'BEGIN {
        if (r == "-") print "-"; else if (kind == "rate") print (r >= t ? "pass" : "MISS");
        else print (r <= t ? "pass" : "MISS") }'
}
num() { if [ "$1" = - ]; then echo -; else printf %.0f "$1"; fi; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a == "-" || b == "-" || b == 0) print "-"; else printf "%.2f", a / b }'; }

# CPU microseconds per request of side $1 in matrix row $2 ("-" before any request).
cpu_us() {
    awk -v t="${TICKS[$1,$2]:-0}" -v n="${REQS[$1,$2]:-0}" -v hz="$CLK_TCK" \
        'BEGIN { if (n == 0) print "-"; else printf "%.2f", t / hz / n * 1e6 }'
}

# One table row of matrix row $3, host side $1 against reference side $2; targets are judged
# unless $4 is "info".
print_row() {
    local os=$1 rs=$2 idx=$3 name kind target cpumax ours ref o50 o99 r50 r99 rr cpu rcpu goal verdict
    IFS='|' read -r name _ _ kind target cpumax <<<"${MATRIX[$idx]}"
    if [ "${4:-}" = info ]; then kind=none cpumax=; fi
    ours=$(median <<<"${RATE[$os,$idx]:-}") ref=$(median <<<"${RATE[$rs,$idx]:-}")
    o50=$(median <<<"${P50[$os,$idx]:-}") o99=$(median <<<"${P99[$os,$idx]:-}")
    r50=$(median <<<"${P50[$rs,$idx]:-}") r99=$(median <<<"${P99[$rs,$idx]:-}")
    rr=$(ratio "$ours" "$ref")
    cpu=$(cpu_us "$os" "$idx") rcpu=$(cpu_us "$rs" "$idx")
    case $kind in
    rate) goal=">= $target" verdict=$(mark "$rr" rate "$target") ;;
    p50) goal="p50 <= ${target}x" verdict="$(mark "$(ratio "$o50" "$r50")" p50 "$target") (p50 $(ratio "$o50" "$r50")x)" ;;
    *) goal="-" verdict="-" ;;
    esac
    if [ -n "$cpumax" ]; then
        goal+=", cpu <= ${cpumax}x"
        verdict+=", cpu $(ratio "$cpu" "$rcpu")x $(mark "$(ratio "$cpu" "$rcpu")" max "$cpumax")"
    fi
    if [ -n "${ERR[$os,$idx]:-}${ERR[$rs,$idx]:-}" ]; then verdict=FAILED; fi
    printf "%-30s %10s %10s %6s %12s %12s %7s %7s  %-22s %s\n" "$name" "$(num "$ours")" \
        "$(num "$ref")" "$rr" "$o50/$o99" "$r50/$r99" "$cpu" "$rcpu" "$goal" "$verdict"
}

# The table of host side $1 against reference side $2 over the matrix rows after them; targets
# are judged only for the main sides (ours against ref).
print_table() {
    local os=$1 rs=$2 idx use=judge
    shift 2
    if [ "$os" != ours ]; then use=info; fi
    printf "%-30s %10s %10s %6s %12s %12s %7s %7s  %-22s %s\n" configuration "our req/s" \
        "ref req/s" ratio "our p50/p99" "ref p50/p99" "our cpu" "ref cpu" target mark
    for idx in "$@"; do
        print_row "$os" "$rs" "$idx" "$use"
    done
}

print_failures() {
    local key
    for key in "${!ERR[@]}"; do
        echo "FAILED ${key%%,*} ${MATRIX[${key#*,}]%%|*}: ${ERR[$key]}"
    done
}

pinning_note() {
    if [ ${#PIN_CLIENT[@]} -gt 0 ]; then
        echo "client on CPU $CLIENT_CPU, each server on CPU $SERVER_CPU"
    else
        echo "one CPU: nothing pinned"
    fi
}

main_table() {
    echo
    echo "FINS server (runtime-host) against the reference responder: $ROUNDS round(s) of" \
        "${SECONDS_PER_RUN}-s runs, medians, 10-word DM reads unless named"
    echo "(server threads: $HOST_SCHED; reference: ${REF_SCHED[*]:-ordinary scheduling};" \
        "$(pinning_note))"
    print_table ours ref "${!MATRIX[@]}"
    echo "(p50/p99: response latency in microseconds; cpu: each server's CPU microseconds per request)"
}

# Both servers again at ordinary scheduling, for information (the host's fallback when the runtime
# may not use real-time priorities). Skipped when the main table already ran at ordinary scheduling.
ordinary_section() {
    local words
    echo
    if [ "$HOST_SCHED" != real-time ]; then
        echo "ordinary-scheduling section: skipped (the table above ran at ordinary scheduling)"
        return 0
    fi
    stop_pid "$HOST_PID"
    for words in 10 2000; do
        stop_pid "${REF_PIDS[$words]}"
    done
    start_host ordinary
    start_refs
    run_matrix ord ordref "${ORD_CONFIGS[@]}"
    echo "Ordinary scheduling, both servers (server threads: $HOST_SCHED; for information, no targets):"
    print_table ord ordref "${ORD_CONFIGS[@]}"
}

# utime + stime of the component's loop threads in process $1 (the host's own threads, which run
# the simulated controller's tasks, are not the server's).
loop_ticks() {
    local task sum=0
    for task in /proc/"$1"/task/*; do
        case $(cat "$task/comm") in
        finsEpollRd | finsEpollWr | SockSend)
            sum=$((sum + $(stat_ticks "$task/stat"))) ;;
        esac
    done
    echo "$sum"
}

# CPU seconds the server's loop threads use over IDLE_SECONDS with no client.
idle_check() {
    local t0 t1
    t0=$(loop_ticks "$HOST_PID")
    sleep "$IDLE_SECONDS"
    t1=$(loop_ticks "$HOST_PID")
    awk -v d=$((t1 - t0)) -v hz="$CLK_TCK" -v s="$IDLE_SECONDS" 'BEGIN {
        printf "idle: server threads CPU %.2f s over %d idle seconds (target: none measurable) %s\n",
            d / hz, s, (d <= 1 ? "pass" : "MISS") }'
}

# 10,000 connections against a freshly started server $1 (ours or ref) on port $2, pid $3.
scale_one() {
    local side=$1 port=$2 pid=$3 line hwm
    say "scale run against $side: $SCALE_CONNS connections"
    if ! line=$("${PIN_CLIENT[@]}" "$BIN/fins-bench" --port "$port" --conns "$SCALE_CONNS" \
        --count "$SCALE_REQUESTS" \
        --timeout-ms 20000 2>"$LOGDIR/err.txt" | tail -1) || [ "${line#req/s=}" = "$line" ]; then
        echo "scale $side: FAILED: $(cat "$LOGDIR/err.txt")"
        FAILED=1
        return 0
    fi
    hwm=$(status_kib "$pid" VmHWM)
    printf "scale %-4s: %s connections in %s s, %s req/s while all open, served %s, peak RSS %s MiB" \
        "$side" "$SCALE_CONNS" "$(field connect_s "$line")" "$(field req/s "$line")" \
        "$(field served "$line")" "$(awk -v k="$hwm" 'BEGIN { printf "%.1f", k / 1024 }')"
    if [ "$side" = ours ]; then
        local ok=pass
        [ "$(field served "$line")" = "$SCALE_CONNS/$SCALE_CONNS" ] || ok=MISS
        [ "$hwm" -lt "$RSS_TARGET_KIB" ] || ok=MISS
        printf " (target: all served, under 64 MiB) %s" "$ok"
    fi
    echo
}

scale_run() {
    echo
    stop_pid "$HOST_PID"
    start_host ordinary
    scale_one ours "$FINS_PORT" "$HOST_PID"
    start_ref 10
    scale_one ref "$REF_PORT" "$REF_PID"
    stop_pid "$REF_PID"
}

request_path_bench() {
    echo
    if [ ! -x "$BIN/RequestPathBench" ]; then
        echo "request path: RequestPathBench is not built here (no Google Benchmark or no source); skipped"
        return 0
    fi
    say "request path benchmark"
    "$BIN/RequestPathBench" --benchmark_min_time="$BENCH_MIN_TIME" --benchmark_format=csv \
        2>/dev/null | awk -F, '
        $1 ~ /^"/ { gsub(/"/, "", $1); ns = $4; if ($5 == "us") ns *= 1000;
            line = sprintf("request path: %-20s %8.0f ns per request", $1, ns);
            if ($1 == "DmRead10Words") line = line sprintf(" (target: under 300 ns) %s", ns < 300 ? "pass" : "MISS");
            print line }'
}

# Starts the two reference responders (10-word and 2000-word answers) at REF_SCHED.
start_refs() {
    local words
    for words in 10 2000; do
        start_ref "$words"
        REF_PORTS[$words]=$REF_PORT REF_PIDS[$words]=$REF_PID
    done
}

# With --strict: 3 when the results ($1) hold a missed target, else $2.
strict_status() {
    if [ "$STRICT" -eq 1 ] && [ "$2" -eq 0 ] && grep -qw MISS "$1"; then
        say "a target was missed (--strict)"
        echo 3
    else
        echo "$2"
    fi
}

main() {
    local results status tee_pid
    results=$(mktemp /tmp/fins-bench-results.XXXXXX)
    # The results go to standard output as always (kept as descriptor 3) and to a copy --strict
    # reads at the end, once the copy is closed and complete.
    exec 3>&1 > >(tee "$results")
    tee_pid=$!
    build
    declare -gA REF_PORTS REF_PIDS
    say "logs in $LOGDIR"
    start_host realtime
    start_refs
    run_matrix ours ref "${!MATRIX[@]}"
    main_table
    echo "server memory after the matrix: RSS $(status_kib "$HOST_PID" VmRSS) KiB," \
        "peak $(status_kib "$HOST_PID" VmHWM) KiB"
    idle_check
    ordinary_section
    print_failures
    for words in 10 2000; do
        stop_pid "${REF_PIDS[$words]}"
    done
    scale_run
    stop_pid "$HOST_PID"
    request_path_bench
    if [ "$FAILED" -eq 0 ]; then
        rm -rf "$LOGDIR"
    else
        say "a run failed; logs kept in $LOGDIR"
    fi
    exec 1>&3 3>&-
    wait "$tee_pid" 2>/dev/null || true
    status=$(strict_status "$results" "$FAILED")
    rm -f "$results"
    exit "$status"
}

main
