#!/usr/bin/env bash
# Idle cost: the daemon against the stand-in with no events for a minute (the stand-in's
# zelListen waits up to 10 s a call). Prints the CPU time the daemon's process used in that
# minute (utime + stime from /proc/PID/stat, after start-up), its wake-ups (voluntary context
# switches) and how often zelListen returned; with valgrind present, also the instructions the
# idle minute executed (callgrind: an idle run less an immediately stopped one).
#   bench/idle.sh                   IDLE_SECONDS=60
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh"
idle=${IDLE_SECONDS:-60}

if [ "${1:-}" != --inside ]; then
    build_targets velmKortd zel velmKort-inject velmKort-peer
    enter_private_mounts "$0" "$@"
fi

ticks_per_second=$(getconf CLK_TCK)

# cpu_ticks PID: utime + stime. The command name field may hold spaces, so fields are
# counted from the closing parenthesis.
cpu_ticks() {
    sed 's/^.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'
}
# Nanoseconds on a CPU, finer than the ticks (absent without schedstats: then 0).
cpu_ns() {
    awk '{ print $1 }' "/proc/$1/schedstat" 2>/dev/null || echo 0
}
switches() {
    awk '/^voluntary_ctxt_switches/ { print $2 }' "/proc/$1/status"
}

"$peer" >/dev/null &
peer_pid=$!
await /tmp/velmKortCSocket
ZEL_STANDIN_TRACE=/tmp/zel.trace "$daemon" >/tmp/daemon.out &
daemon_pid=$!
await /tmp/zelStandinSocket
sleep 1
ticks_before=$(cpu_ticks "$daemon_pid")
ns_before=$(cpu_ns "$daemon_pid")
switches_before=$(switches "$daemon_pid")
listens_before=$(grep -c '^zelListen' /tmp/zel.trace || true)
sleep "$idle"
ticks_after=$(cpu_ticks "$daemon_pid")
ns_after=$(cpu_ns "$daemon_pid")
switches_after=$(switches "$daemon_pid")
listens_after=$(grep -c '^zelListen' /tmp/zel.trace || true)
"$inject" --stop
wait "$daemon_pid" || true
kill "$peer_pid"
wait "$peer_pid" || true
rm -f /tmp/zelStandinSocket /tmp/velmKortSSocket

printf 'idle %d s: CPU time %d ms (utime+stime: %d ticks of 1/%d s; schedstat: %d us),\n' \
    "$idle" $(((ticks_after - ticks_before) * 1000 / ticks_per_second)) \
    $((ticks_after - ticks_before)) "$ticks_per_second" $(((ns_after - ns_before) / 1000))
printf '         %d wake-ups (voluntary context switches), %d zelListen returns\n' \
    $((switches_after - switches_before)) $((listens_after - listens_before))

command -v valgrind >/dev/null || exit 0
# idle_run SECONDS: user-space instructions of a whole run that idles that long.
idle_run() {
    rm -f /tmp/zelStandinSocket /tmp/velmKortSSocket
    valgrind --tool=callgrind --callgrind-out-file=/tmp/idle.cg --log-file=/tmp/idle.log \
        "$daemon" >/dev/null &
    local pid=$!
    await /tmp/zelStandinSocket
    sleep "$1"
    "$inject" --stop
    wait "$pid" || true
    awk '/^summary:|^totals:/ { print $2; exit }' /tmp/idle.cg
}
short=$(idle_run 0)
long=$(idle_run "$idle")
printf 'idle %d s: %d user-space instructions (callgrind: idle run %d less immediate stop %d)\n' \
    "$idle" $((long - short)) "$long" "$short"
