#!/usr/bin/env bash
# The inittab line that device.md gives, put there by the Buildroot post-build script, run by
# BusyBox init as PID 1 of a pid namespace, in a root of its own: the machine's /usr read-only
# with the installed tree over it, its own /tmp, /dev and syslogd. The daemon killed, and then
# velmKort-logpipe killed, each come back and log their errors again; no password reaches the
# log. The processes are found as init knows them, so that a machine entered by chroot passes.
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
mkdir -p $root/{usr,proc,tmp,etc/init.d}
for link in bin sbin lib lib64; do ln -s "usr/$link" "$root/$link"; done
mount -t overlay velm-usr -o "lowerdir=$install/usr:/usr" "$root/usr"
private_dev "$root/dev"
echo '# as BusyBox init finds it' >"$root/etc/inittab" && touch "$root/etc/init.d/S60velmKortd"
for _ in 1 2; do "$(dirname "$0")/../../packaging/buildroot/board/post-build-respawn.sh" $root; done
[ "$(grep -cxF "$line" $root/etc/inittab)" = 1 ] && [ ! -e $root/etc/init.d/S60velmKortd ] ||
    fail "the post-build script, run twice, made: $(cat $root/etc/inittab $root/etc/init.d/*)"

chroot "$root" busybox syslogd -n -O /tmp/messages &
syslogd=$!
await "syslogd's /dev/log" test -S "$root/dev/log"
unshare -p -f --kill-child --mount-proc="$root/proc" chroot "$root" busybox init &
init=$!
# init, and with it everything it started, ends with unshare.
trap 'kill -KILL $init $syslogd' EXIT

# init's one child the log pipe, its one child the daemon; init is unshare's child.
logpipe() { only_child "$(named_children $init busybox)" velmKort-logpip; }
daemon() { only_child "$(logpipe)" velmKortd; }
pid_of() { local pid; pid=$("$1") && [ "$pid" != "${2:-}" ] && echo "$pid"; }  # if not pid $2
socket=$root/tmp/zelStandinSocket inode=none
new_socket() { [ -S "$socket" ] && [ "$(stat -c %i "$socket")" != "$inode" ]; }
event() {  # event N, once a new daemon's stand-in listens: with no peer, dispatch error N
    await "a stand-in socket other than inode $inode" new_socket
    inode=$(stat -c %i "$socket")
    chroot "$root" velmKort-inject update "password=never-logged-$1"
    await "dispatch error $1 in the log" lines "$1" \
        'daemon\.err velmKortd: ERROR#2 in dispatching the event to trund$' cat "$root/tmp/messages"
}

await "velmKortd, the child of init's child velmKort-logpipe" pid_of daemon >/dev/null
event $((n = 1))
for victim in daemon logpipe; do
    old=$(pid_of daemon)
    kill -KILL "$(pid_of $victim)"
    await "a new velmKortd under velmKort-logpipe after the $victim was killed" \
        pid_of daemon "$old" >/dev/null
    event $((n += 1))
    echo "the $victim killed with -9: init brought the daemon back, its errors logged"
done
! grep never-logged "$root/tmp/messages" || fail "a password reached the log"
echo "BusyBox init respawns the daemon from '$line'"
