#!/usr/bin/env bash
# The inittab line that device.md gives, run by BusyBox init as PID 1 of a pid namespace, in a
# root of its own: the machine's /usr read-only with the installed tree over it, its own /tmp,
# /dev and syslogd. The daemon killed, and then velmKort-logpipe killed, each come back and
# log their errors again; no password reaches the log.
# Usage: inittab.sh INSTALL_ROOT   (installed with the stand-in and the tools)
set -euo pipefail
. "$(dirname "$0")/common.sh"
install=$(realpath "$1")
line='::respawn:/usr/sbin/velmKort-logpipe /usr/sbin/velmKortd'

if [ "${VELM_INSIDE:-}" != 1 ]; then
    case $install in /tmp/*) echo "SKIP: $install is hidden by a private /tmp"; exit 77 ;; esac
    unshare -m -p -f --mount-proc true 2>/dev/null || { echo "SKIP: needs root"; exit 77; }
    VELM_INSIDE=1 exec unshare -m --propagation private "$0" "$@"
fi
grep -qxF "$line" "$(dirname "$0")/../../docs/device.md" || fail "device.md has no '$line'"

mount -t tmpfs velm-tmp /tmp
root=/tmp/root
mkdir -p $root/{usr,proc,tmp,etc}
for link in bin sbin lib lib64; do ln -s "usr/$link" "$root/$link"; done
mount -t overlay velm-usr -o "lowerdir=$install/usr:/usr" "$root/usr"
private_dev "$root/dev"
printf '%s\n' "$line" >"$root/etc/inittab"

chroot "$root" busybox syslogd -n -O /tmp/messages &
syslogd=$!
await "syslogd's /dev/log" test -S "$root/dev/log"
unshare -p -f --kill-child --mount-proc="$root/proc" chroot "$root" busybox init &
init=$!
# init, and with it everything it started, ends with unshare.
trap 'kill -KILL $init $syslogd' EXIT

pid_of() {  # the one process that runs /usr/sbin/$1 in the root, if it is not pid $2
    local pids
    mapfile -t pids < <(running "$root/usr/sbin/$1")
    [ ${#pids[@]} = 1 ] && [ "${pids[0]}" != "${2:-}" ] && echo "${pids[0]}"
}
socket=$root/tmp/zelStandinSocket inode=none
new_socket() { [ -S "$socket" ] && [ "$(stat -c %i "$socket")" != "$inode" ]; }
event() {  # event N, once a new daemon's stand-in listens: with no peer, dispatch error N
    await "a stand-in socket other than inode $inode" new_socket
    inode=$(stat -c %i "$socket")
    chroot "$root" velmKort-inject update "password=never-logged-$1"
    await "dispatch error $1 in the log" lines "$1" \
        'daemon\.err velmKortd: ERROR#2 in dispatching the event to trund$' cat "$root/tmp/messages"
}

await "the daemon" pid_of velmKortd >/dev/null
event $((n = 1))
for victim in velmKortd velmKort-logpipe; do
    daemon=$(pid_of velmKortd)
    kill -KILL "$(pid_of $victim)"
    await "the daemon back after $victim was killed" pid_of velmKortd "$daemon" >/dev/null
    await "its log pipe" pid_of velmKort-logpipe >/dev/null
    event $((n += 1))
    echo "$victim killed with -9: init brought the daemon back, its errors logged"
done
! grep never-logged "$root/tmp/messages" || fail "a password reached the log"
echo "BusyBox init respawns the daemon from '$line'"
