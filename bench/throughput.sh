#!/usr/bin/env bash
# End-to-end throughput: connect events per second through the stand-in, the daemon (standard
# output to a file, a system log receiver present) and on to a peer monitor, from the first
# event injected to the last one received by the peer; and the daemon process's own CPU time
# per event (user and system, from /proc/PID/schedstat) over the same stretch. Runs velmKortd
# and velmKortd-naive ROUNDS times each, alternating, and prints every round and the medians.
#   bench/throughput.sh               N=20000 ROUNDS=9
#   N=50000 ROUNDS=3 bench/throughput.sh
# Wall-clock figures on a shared machine: compare medians, and expect noise.
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh"
count=${N:-20000}
rounds=${ROUNDS:-9}

if [ "${1:-}" != --inside ]; then
    build_targets velmKortd velmKortd-naive zel velmKort-inject velmKort-peer
    enter_private_mounts "$0" "$@"
fi

# CPU time of a process so far, in nanoseconds.
cpu_ns() {
    awk '{ print $1 }' "/proc/$1/schedstat"
}

# one_round EXECUTABLE: prints the events per second and the daemon's CPU ns per event.
one_round() {
    local executable=$1
    "$peer" --count "$count" >/dev/null &
    local peer_pid=$!
    await /tmp/velmKortCSocket
    "$executable" >/tmp/daemon.out &
    local daemon_pid=$!
    await /tmp/zelStandinSocket
    local start end cpu_start cpu_end
    cpu_start=$(cpu_ns "$daemon_pid")
    start=$(date +%s%N)
    inject_connects "$count"
    wait "$peer_pid"
    end=$(date +%s%N)
    cpu_end=$(cpu_ns "$daemon_pid")
    "$inject" --stop
    local status=0
    wait "$daemon_pid" || status=$?
    [ "$status" = 255 ] || { echo "daemon exited with $status" >&2; exit 1; }
    # The banner, then 23 dump lines and the announcement per event.
    local lines
    lines=$(wc -l </tmp/daemon.out)
    [ "$lines" = $((1 + 24 * count)) ] || { echo "daemon printed $lines lines" >&2; exit 1; }
    rm -f /tmp/velmKortSSocket /tmp/zelStandinSocket /tmp/daemon.out
    echo $((count * 1000000000 / (end - start))) $(((cpu_end - cpu_start) / count))
}

# median COLUMN: of the lines on standard input.
median() {
    awk -v c="$1" '{ print $c }' | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

start_log_sink
ours=() theirs=()
for round in $(seq "$rounds"); do
    # Alternating which goes first, so that neither always meets the other's leftovers.
    if [ $((round % 2)) = 1 ]; then
        ours+=("$(one_round "$daemon")")
        theirs+=("$(one_round "$naive")")
    else
        theirs+=("$(one_round "$naive")")
        ours+=("$(one_round "$daemon")")
    fi
    read -r ours_rate ours_cpu <<<"${ours[-1]}"
    read -r theirs_rate theirs_cpu <<<"${theirs[-1]}"
    printf 'round %d: velmKortd %6d events/s, %5d ns CPU/event   velmKortd-naive %6d events/s, %5d ns CPU/event\n' \
        "$round" "$ours_rate" "$ours_cpu" "$theirs_rate" "$theirs_cpu"
done
stop_log_sink
printf 'median of %d rounds of %d events:\n' "$rounds" "$count"
printf '  velmKortd        %6d events/s, daemon CPU %5d ns/event\n' \
    "$(printf '%s\n' "${ours[@]}" | median 1)" "$(printf '%s\n' "${ours[@]}" | median 2)"
printf '  velmKortd-naive  %6d events/s, daemon CPU %5d ns/event\n' \
    "$(printf '%s\n' "${theirs[@]}" | median 1)" "$(printf '%s\n' "${theirs[@]}" | median 2)"
