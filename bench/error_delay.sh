#!/usr/bin/env bash
# How long a daemon error line takes to reach the system log when the daemon runs under
# velmKort-logpipe, as both init scripts start it: the daemon against the stand-in with no
# peer, so that every connect it handles ends in "ERROR#2 in dispatching the event to trund";
# one event at a time, nothing following it. Each delay runs from just before the event is
# sent to the stand-in until the error's entry arrives at /dev/log: an upper bound on the line's
# own way from the daemon's printf to the log. Prints the median and the largest of N.
#   bench/error_delay.sh          N=500
# Without velmKort-logpipe (output to a pipe) the line would wait for 4 KiB of later output,
# 1 KiB on musl, or for the daemon's orderly exit: no bound at all.
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh"
count=${N:-500}

if [ "${1:-}" != --inside ]; then
    build_targets velmKortd zel velmKort-inject velmKort-logpipe
    enter_private_mounts "$0" "$@"
fi

mkdir /dev/pts
mount -t devpts -o newinstance,ptmxmode=0666 velm-bench-pts /dev/pts
ln -s pts/ptmx /dev/ptmx
"$inject" --output /tmp/connect.record --type connect username=alice password=secret
export LD_LIBRARY_PATH=$build/standin
python3 - "$count" "$build/logpipe/velmKort-logpipe" "$daemon" <<'PY'
import os, socket, statistics, subprocess, sys, time

count, logpipe, daemon = int(sys.argv[1]), sys.argv[2], sys.argv[3]
log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
log.bind("/dev/log")
log.settimeout(10)
record = open("/tmp/connect.record", "rb").read()
process = subprocess.Popen([logpipe, daemon], stdout=subprocess.DEVNULL)
while not os.path.exists("/tmp/zelStandinSocket"):
    time.sleep(0.01)
service = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
delays = []
for _ in range(count):
    time.sleep(0.02)  # the daemon idle in zelListen again, and the log drained
    start = time.perf_counter()
    service.sendto(record, "/tmp/zelStandinSocket")
    while b"ERROR#2 in dispatching the event to trund" not in log.recv(4096):
        pass
    delays.append(time.perf_counter() - start)
process.kill()
process.wait()
ms = sorted(d * 1000 for d in delays)
print(f"{count} error lines: median {statistics.median(ms):.2f} ms, "
      f"99th percentile {ms[int(0.99 * (count - 1))]:.2f} ms, largest {ms[-1]:.2f} ms")
PY
