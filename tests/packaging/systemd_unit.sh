#!/usr/bin/env bash
# velmkortd.service under Debian's systemd, booted in a container (systemd-nspawn) with the
# unit enabled: what device.md's "What the packaging tests check" lists. The root (bookworm,
# debootstrap) is made once into ${HOME}/.cache/velmKortd (or VELM_SYSTEMD_CACHE), keyed by
# what it is made from; each run boots an overlay of it on a private tmpfs, in a private mount
# namespace and a cgroup of its own, which ends it: neither the root nor the machine changes.
# Usage: systemd_unit.sh INSTALL_ROOT   (prefix /usr, with the unit, the stand-in and the tools)
set -euo pipefail
. "$(dirname "$0")/common.sh"
stage=$(realpath "$1") docs=$(realpath "$(dirname "$0")/../../docs/device.md")
unit=velmkortd.service

if [ "${VELM_INSIDE:-}" != 1 ]; then
    [ "$(id -u)" = 0 ] || { echo "SKIP: needs root"; exit 77; }
    cache=${VELM_SYSTEMD_CACHE:-${HOME:-/var/tmp}/.cache/velmKortd}
    release=bookworm packages=systemd,systemd-sysv
    key=$(echo "$release minbase $packages $(dpkg-query -W -f='${Version}' debootstrap)" |
        sha256sum | cut -c1-12)
    root=$cache/$release-systemd-$key
    mkdir -p "$cache"; exec 9>"$root.lock"; flock 9  # two runs that want it make it once
    if [ ! -f "$root/complete" ]; then
        echo "=== making the container's root in $root (debootstrap: 2 to 3 minutes)"
        rm -rf "$root"
        unshare -m --propagation private debootstrap --variant=minbase --include=$packages \
            $release "$root" "${VELM_DEBIAN_MIRROR:-http://deb.debian.org/debian}" \
            >"$root.log" 2>&1 || { tail -20 "$root.log"; fail "debootstrap: see $root.log"; }
        touch "$root/complete"
    fi
    exec 9>&-
    VELM_INSIDE=1 VELM_ROOT=$root exec unshare -m --propagation private "$0" "$@"
fi

mount -t tmpfs velm-tmp /tmp
mount -t tmpfs velm-run /run  # where systemd-nspawn keeps its state
mkdir /tmp/upper /tmp/work /tmp/root
mount -t overlay velm-root -o "lowerdir=$VELM_ROOT,upperdir=/tmp/upper,workdir=/tmp/work" /tmp/root
cp -a "$stage/." /tmp/root/
systemctl --root=/tmp/root --quiet enable $unit

# Without systemd or D-Bus on this machine: no registration, and a cgroup of the test's own;
# the unified hierarchy inside, as a device with systemd has.
cgroup=/sys/fs/cgroup
[ "$(stat -fc %T $cgroup)" = cgroup2fs ] || cgroup=$cgroup/unified
cgroup=$cgroup/velmKortd-test.$$
mkdir "$cgroup"
(
    echo "$BASHPID" >"$cgroup/cgroup.procs"
    SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 exec systemd-nspawn --quiet --directory=/tmp/root \
        --register=no --keep-unit --private-network --console=read-only --boot
) >/tmp/console.log 2>&1 &
nspawn=$! leader=''
disown  # ended by its cgroup, unreported
ended() { grep -qx 'populated 0' "$cgroup/cgroup.events"; }
finish() {  # a failure shows the end of the container's journal
    [ "$1" = 0 ] || [ -z "$leader" ] || journal -o short-precise -n 60 >&2 || true
    echo 1 >"$cgroup/cgroup.kill"
    await "the container to end" ended
    find "$cgroup" -depth -type d -exec rmdir {} +
}
trap 'finish $?' EXIT

booted() {  # the container's PID 1, a child of systemd-nspawn
    local pid
    for pid in $(cat "/proc/$nspawn/task/$nspawn/children"); do
        ! grep -qP '^NSpid:\t\d+\t1$' "/proc/$pid/status" || leader=$pid
    done
    [ -n "$leader" ]
}
await "the container's init" booted
inside() { nsenter --target "$leader" --all --root --wd "$@"; }  # its root, also under a chroot
show() { inside systemctl show --property="$1" --value $unit; }
journal() { inside journalctl --quiet --no-pager "$@"; }
children() { local p; p=$(inside cat "/proc/$1/task/$1/children"); echo "${p% }"; }
command_line() { local c; c=$(inside cat "/proc/$1/cmdline" | tr '\0' ' '); echo "${c% }"; }
inject() { inside velmKort-inject "$@" 2>/dev/null; }  # fails until the stand-in is there
active() { inside systemctl is-active --quiet $unit 2>/dev/null; }  # fails until systemd is up

await "$unit active after boot" active
said=$(inside systemd-analyze verify --man=no $unit 2>&1) && [ -z "$said" ] ||
    fail "systemd-analyze verify: $said"
inside systemd-analyze security --threshold=45 $unit >/dev/null ||
    fail "$(inside systemd-analyze security $unit | tail -1)"
# Processes are found from the unit, not by their paths: under a chroot, /proc/PID/exe of one
# in the service's own mount namespace carries the machine's path to the container's root.
main=$(show MainPID) daemon=$(children "$(show MainPID)")
[ "$(command_line "$main") | $(command_line "$daemon")" = \
    "/usr/sbin/velmKort-logpipe /usr/sbin/velmKortd | /usr/sbin/velmKortd" ] ||
    fail "the main process is no velmKort-logpipe running the daemon"
outputs=$(inside stat -L -c '%t:%T %F' /proc/"$main"/fd/1 /proc/"$main"/fd/2 /proc/"$daemon"/fd/1)
terminal='8[89a-f]:[0-9a-f]+ character special file'  # devpts: majors 136 to 143
[[ ${outputs//$'\n'/,} =~ ^1:3\ character\ special\ file,0:0\ socket,$terminal$ ]] ||
    fail "outputs of the log pipe and the daemon: $outputs"
inside test -S /tmp/velmKortSSocket || fail "the daemon's socket is not in the shared /tmp"
echo "after boot: $unit active, verified, exposure at most 4.5, the daemon's output a terminal"

# The dispatch errors of the journal, all priorities and senders together, number $1.
errors() { lines "$1" '^ERROR#2 in dispatching the event to trund$' journal -o cat; }
inside velmKort-inject update password=never-logged $'username=u\nERROR forged'
inside velmKort-inject connect vpi=8
await "two dispatch errors in the journal" errors 2
at_err=$(journal -t velmKortd -p err -o cat | sort -u)
[ "$at_err" = 'ERROR#2 in dispatching the event to trund' ] ||
    fail "at err: $(journal -t velmKortd -p err -o cat)"
[[ $(journal -p err -o cat) != *forged* ]] || fail "a forged ERROR reached err"
everything=$(journal -o export)  # every field of every entry
[[ $everything != *never-logged* ]] || fail "the password reached the journal"
! grep -a '^MESSAGE=[A-Za-z]* = ' <<<"$everything" || fail "a dump line reached the journal"
echo "with no peer: each dispatch error at err once; no dump, password or forged error"

inode() { inside stat -c %i /tmp/zelStandinSocket; }  # a new one for each daemon
new_socket() { local now; now=$(inode) && [ "$now" != "$1" ]; }
old=$(inode)
# shellcheck disable=SC2016  # a line that runs only if the file is sourced as code
printf 'LOG_DUMPS="On"\nsourced=$(touch /tmp/sourced)\n' >/tmp/root/etc/default/velmKortd
inside systemctl restart $unit
await "a restarted daemon" new_socket "$old"
inside velmKort-inject connect password=shown-masked
await "the masked password at info" \
    lines 1 '^password = \*\*\*\*\*\*\*\*$' journal -t velmKortd -p info..info -o cat
await "a third dispatch error, and none twice" errors 3
[[ $(journal -o export) != *shown-masked* ]] || fail "the password reached the journal"
inside test ! -e /tmp/sourced || fail "/etc/default/velmKortd was run as code"
rm /tmp/root/etc/default/velmKortd
echo "with LOG_DUMPS=\"On\": the dump at info, the password masked, the file not run"

restarted() { [ "$(show NRestarts)" -gt "$1" ] && active; }  # after more than $1 restarts
# Every end that no stop asked for brings it back: the daemon ended by any signal from anyone
# (velmKort-logpipe ends by the same), and velmKort-logpipe killed.
for victim in daemon:HUP daemon:INT daemon:TERM daemon:KILL velmKort-logpipe:KILL; do
    pid=$(show MainPID) restarts=$(show NRestarts)
    [ "${victim%:*}" != daemon ] || pid=$(children "$pid")
    inside sh -c "kill -${victim#*:} $pid"
    await "$unit back after SIG${victim#*:} to the ${victim%:*}" restarted "$restarts"
done
for i in {1..20}; do
    inside systemctl restart $unit 2>/dev/null || fail "restart $i of 20: $(show Result)"
    sleep 0.3
done
await "an event sent after 20 restarts" inject connect
await "its dispatch error" errors 4
echo "the daemon ended by HUP, INT, TERM, KILL, velmKort-logpipe by KILL: back each time;" \
    "20 restarts 0.3 s apart: active and serving"

# device.md's drop-in for a board whose library needs nothing special, as the page gives it,
# started on the root-owned socket file that the runs as root left.
grep "^u velmkortd " "$docs" | inside env SYSTEMD_LOG_LEVEL=warning systemd-sysusers -
mkdir /tmp/root/etc/systemd/system/$unit.d
sed -n '\|^# /etc/systemd/system/velmkortd.service.d/user.conf$|,/^```$/p' "$docs" |
    sed '$d' >/tmp/root/etc/systemd/system/$unit.d/user.conf
[ "$(inside stat -c %U /tmp/velmKortSSocket)" = root ] || fail "no root-owned socket left"
inside rm /tmp/zelStandinSocket  # the stand-in's own, which a platform's library does not leave
inside systemctl daemon-reload && inside systemctl restart $unit
inside setpriv --reuid=velmkortd --regid=velmkortd --clear-groups velmKort-peer --count 1 \
    >/tmp/peer.log 2>&1 &
await "a peer running as velmkortd" inside test -S /tmp/velmKortCSocket
await "an event sent to the daemon run as velmkortd" inject connect
wait $! && grep -q '^#1 from /tmp/velmKortSSocket: 284 bytes, type CONNECT$' /tmp/peer.log ||
    fail "the peer: $(cat /tmp/peer.log)"
[ "$(inside stat -c %U /proc/"$(children "$(show MainPID)")")" = velmkortd ] ||
    fail "the daemon does not run as velmkortd"
restarts=$(show NRestarts)
inside sh -c "kill -KILL $(children "$(show MainPID)")"
await "$unit as velmkortd back after SIGKILL to the daemon" restarted "$restarts"
inside systemd-analyze security --threshold=10 $unit >/dev/null ||
    fail "with the drop-in: $(inside systemd-analyze security $unit | tail -1)"
rm -r /tmp/root/etc/systemd/system/$unit.d
inside systemctl daemon-reload && inside systemctl restart $unit
echo "with device.md's drop-in: as velmkortd over a root-owned socket, a peer as velmkortd" \
    "served, back after kill -9, exposure at most 1.0"

# A process of the unit's that ignores SIGHUP, as one the platform's library may start: stop
# ends it too, and leaves nothing of the unit's running.
procs=/sys/fs/cgroup/system.slice/$unit/cgroup.procs
inside sh -c "trap '' HUP; echo \$\$ >$procs && exec sleep 600" </dev/null >/dev/null 2>&1 &
await "a third process in $unit" lines 3 . inside cat $procs
inside systemctl stop $unit
[ "$(show ActiveState) $(show Result)" = "inactive success" ] ||
    fail "after stop: $(show ActiveState) $(show Result)"
left=$(inside cat $procs 2>/dev/null || true)
[ -z "$left" ] || fail "left running: $(for p in $left; do command_line "$p"; done)"
echo "stop: inactive, nothing of the unit's running, a process deaf to SIGHUP included"

# A directory with something in it where the socket goes: every start-up fails on the bind.
inside sh -c 'rm /tmp/velmKortSSocket && mkdir -p /tmp/velmKortSSocket/kept'
inside systemctl reset-failed $unit && inside systemctl start $unit
await "$unit failed" inside systemctl is-failed --quiet $unit
runs=$(journal -u $unit -o cat | grep -c 'status=1/FAILURE$')
[ "$runs" -gt 1 ] || fail "$unit failed after $runs run"
await "a bind error at err for each of the $runs runs" \
    lines "$runs" '^ERROR#98 in bind on serverSocket$' journal -t velmKortd -p err -o cat
echo "a start-up that fails: $runs runs, then failed; each bind error at err"
