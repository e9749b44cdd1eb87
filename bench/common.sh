# shellcheck shell=bash
# Shared by the measurement scripts in this folder; sourced, not run.
#
# Each script builds what it needs in its own build tree (BUILD, default build-bench), then
# re-runs itself in a private mount namespace with fresh tmpfs on /tmp and /dev, so that the
# daemon's fixed socket paths and the system log socket never meet anything on the machine.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD:-$root/build-bench}
# shellcheck disable=SC2034  # used by the scripts that source this
daemon=$build/daemon/velmKortd
# shellcheck disable=SC2034
naive=$build/bench/velmKortd-naive
# shellcheck disable=SC2034
inject=$build/tools/velmKort-inject
peer=$build/tools/velmKort-peer

# build_targets TARGET...: configure (once) and build, at most two jobs on a shared machine.
build_targets() {
    local generator=()
    command -v ninja >/dev/null && generator=(-G Ninja)
    if [ ! -f "$build/CMakeCache.txt" ]; then
        cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DVELM_BENCH=ON >/dev/null
    fi
    cmake --build "$build" -j 2 --target "$@" >/dev/null
}

# enter_private_mounts SCRIPT ARGS...: re-runs SCRIPT --inside ARGS in the namespace.
enter_private_mounts() {
    if [ "$(id -u)" != 0 ] || ! unshare -m true 2>/dev/null; then
        echo "$(basename "$1"): needs root and unshare -m for a private /tmp and /dev" >&2
        exit 1
    fi
    # shellcheck disable=SC2016  # expanded by the inner shell
    exec unshare -m --propagation private bash -c '
        set -e
        mount -t tmpfs velm-bench /tmp
        for node in null zero urandom; do
            touch /tmp/.$node && mount --bind /dev/$node /tmp/.$node
        done
        mount -t tmpfs velm-bench-dev /dev
        for node in null zero urandom; do
            touch /dev/$node && mount --move /tmp/.$node /dev/$node && rm /tmp/.$node
        done
        ln -s /proc/self/fd /dev/fd
        exec "$0" --inside "$@"' "$@"
}

# inject_connects COUNT: the same fully populated connect event, COUNT times.
inject_connects() {
    "$inject" --count "$1" --type connect vpi=8 vci=35 mux=1 syncRateUp=1024 \
        syncRateDown=8128 dbMac=00:11:22:33:44:55 mbMac=00:11:22:33:44:56 \
        mbBroadcastMac=ff:ff:ff:ff:ff:ff wanIp=10.0.0.2 wanNetmask=255.255.255.0 \
        wanGateway=10.0.0.1 wanDns1=10.0.0.53 wanMtu=1492 username=alice password=secret \
        idleTimeout=600
}

# await PATH: for a socket file to appear (valgrind takes a few seconds to start a program).
await() {
    for _ in $(seq 600); do [ -S "$1" ] && return 0; sleep 0.05; done
    echo "$1 did not appear" >&2
    return 1
}

# start_log_sink: a receiver at /dev/log, as on the device, so syslog really sends. The peer
# monitor serves, its output discarded; stop_log_sink ends it by its process id.
start_log_sink() {
    "$peer" --socket /dev/log >/dev/null &
    log_sink_pid=$!
    await /dev/log
}
stop_log_sink() {
    kill "$log_sink_pid" 2>/dev/null || true
    wait "$log_sink_pid" 2>/dev/null || true
}
