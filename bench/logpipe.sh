#!/usr/bin/env bash
# What the log pipe's reader costs per event: user-space instructions counted by callgrind
# (deterministic) in velm_logpipe_feed, the reader fed the daemon's output as velmKort-logpipe
# feeds it, once with N1 and once with N2 events; the difference over N2-N1 leaves the start
# and the end out. The figure is the reader's own part (`feed`, inclusive): no system call and
# no syslog call, which the program adds. Then the reader process's peak RSS (VmHWM) in
# velmKort-logpipe, after the worst-case output.
#   bench/logpipe.sh                N1=20 N2=220
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh"
n1=${N1:-20}
n2=${N2:-220}
command -v valgrind >/dev/null || { echo "logpipe.sh: needs valgrind" >&2; exit 1; }
build_targets velm_logpipe_feed velmKort-logpipe
feeder=$build/bench/velm_logpipe_feed
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# count MODE CHUNKING RECORD N: the inclusive instructions of the reader's feed.
count() {
    local out=$work/$1.$2.$3.$4.cg
    valgrind --tool=callgrind --callgrind-out-file="$out" --log-file="$out.log" \
        "$feeder" "$@" >/dev/null
    callgrind_annotate --inclusive=yes --threshold=100 "$out" 2>/dev/null |
        awk '!found && index($0, "velm::logpipe::feed(") { gsub(",", "", $1); print $1; found = 1 }
             END { if (!found) print 0 }'
}

printf 'The reader, per event, user-space instructions (callgrind Ir), (N=%d) - (N=%d) over %d\n' \
    "$n2" "$n1" $((n2 - n1))
printf '%-8s %-8s %-7s %14s %10s\n' record mode reads "per event" "× 6,600"
for case in "sample default whole" "sample default line" "sample default byte" \
    "sample dumps whole" "sample dumps line" "sample dumps byte" \
    "worst dumps whole" "worst dumps line" "worst dumps byte" "worst default byte"; do
    read -r record mode chunking <<<"$case"
    a=$(count "$mode" "$chunking" "$record" "$n1")
    b=$(count "$mode" "$chunking" "$record" "$n2")
    per=$(((b - a) / (n2 - n1)))
    printf '%-8s %-8s %-7s %14d %10s\n' "$record" "$mode" "$chunking" "$per" \
        "$(awk -v a="$per" 'BEGIN { printf "%.2f", a / 6600 }')"
done

# The reader is velmKort-logpipe itself, the parent of the program, which reads the reader's
# peak before it ends. Default mode: nothing of it reaches a system log.
status=$work/rss
# shellcheck disable=SC2016  # expanded by the inner shell
"$build/logpipe/velmKort-logpipe" /bin/sh -c '"$0" print whole worst 200; sleep 0.5
    grep VmHWM /proc/$PPID/status >"$1"' "$feeder" "$status"
echo "reader process after 200 worst-case events: $(cat "$status")"
