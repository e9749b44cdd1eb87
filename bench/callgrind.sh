#!/usr/bin/env bash
# Per-event user-space instructions of the daemon, counted by callgrind (deterministic), for
# velmKortd and for velmKortd-naive (the same daemon with the obvious one-printf-per-line
# dump). Each runs against the stand-in with a peer and a system log receiver present and
# standard output to a file, once with N1 and once with N2 connect events; the difference
# over N2-N1 leaves start-up, shutdown and the one-off first-event costs out.
#   bench/callgrind.sh              N1=100 N2=1100
#   N1=50 N2=550 bench/callgrind.sh
# Both daemons' standard output and what the peer received are compared byte for byte.
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh"
n1=${N1:-100}
n2=${N2:-1100}

if [ "${1:-}" != --inside ]; then
    command -v valgrind >/dev/null || { echo "callgrind.sh: needs valgrind" >&2; exit 1; }
    build_targets velmKortd velmKortd-naive zel velmKort-inject velmKort-peer
    enter_private_mounts "$0" "$@"
fi

work=/tmp/callgrind
mkdir -p "$work"

# run_daemon NAME EXECUTABLE COUNT: one callgrind run; leaves $work/NAME.COUNT.{cg,out,peer}.
run_daemon() {
    local name=$1 executable=$2 count=$3
    local stem=$work/$name.$count
    "$peer" --count "$count" >"$stem.peer" &
    local peer_pid=$!
    await /tmp/velmKortCSocket
    valgrind --tool=callgrind --callgrind-out-file="$stem.cg" --log-file="$stem.log" \
        "$executable" >"$stem.out" &
    local daemon_pid=$!
    await /tmp/zelStandinSocket
    inject_connects "$count"
    wait "$peer_pid"
    "$inject" --stop
    local status=0
    wait "$daemon_pid" || status=$?
    [ "$status" = 255 ] || { echo "$name exited with $status" >&2; cat "$stem.log" >&2; exit 1; }
    rm -f /tmp/velmKortSSocket /tmp/zelStandinSocket
}

# inclusive FILE FUNCTION: the function's inclusive instruction count (0 when never called).
inclusive() {
    callgrind_annotate --inclusive=yes --threshold=100 "$1" 2>/dev/null |
        awk -v fn="$2" 'index($0, fn) { gsub(",", "", $1); print $1; found = 1; exit }
                        END { if (!found) print 0 }'
}

total() {
    awk '/^summary:|^totals:/ { print $2; exit }' "$1"
}

# per_event NAME WHAT: the per-event difference of one figure between the two runs.
per_event() {
    local name=$1 what=$2 a b
    if [ "$what" = total ]; then
        a=$(total "$work/$name.$n1.cg")
        b=$(total "$work/$name.$n2.cg")
    else
        a=$(inclusive "$work/$name.$n1.cg" "$what")
        b=$(inclusive "$work/$name.$n2.cg" "$what")
    fi
    echo $(((b - a) / (n2 - n1)))
}

start_log_sink
for name in velmKortd velmKortd-naive; do
    executable=$daemon
    [ "$name" = velmKortd-naive ] && executable=$naive
    for count in "$n1" "$n2"; do run_daemon "$name" "$executable" "$count"; done
done
stop_log_sink

for count in "$n1" "$n2"; do
    cmp "$work/velmKortd.$count.out" "$work/velmKortd-naive.$count.out"
    cmp "$work/velmKortd.$count.peer" "$work/velmKortd-naive.$count.peer"
done

printf 'Per connect event, user-space instructions (callgrind Ir), (N=%d) - (N=%d) over %d\n' \
    "$n2" "$n1" $((n2 - n1))
printf '%-34s %12s %16s %8s\n' "" velmKortd velmKortd-naive ratio
row() {
    local label=$1 what=$2 ours theirs
    ours=$(per_event velmKortd "$what")
    theirs=$(per_event velmKortd-naive "$what")
    printf '%-34s %12d %16d %8s\n' "$label" "$ours" "$theirs" \
        "$(awk -v a="$ours" -v b="$theirs" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')"
}
row "whole process" total
row "handler (mgmtEventHandler, incl.)" "velm::daemon::mgmtEventHandler("
row "  dump (adslIfDump, incl.)" ":adslIfDump ["
row "  syslog (incl.)" ":syslog ["
row "  forward (forwardEvent, incl.)" "velm::daemon::forwardEvent("
echo "standard output and the peer's datagrams: byte-identical between the two"
