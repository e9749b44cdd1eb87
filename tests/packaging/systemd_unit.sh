#!/usr/bin/env bash
# velmkortd.service under Debian's systemd, booted in a container (systemd-nspawn) with the
# unit enabled: what device.md's "What the packaging tests check" lists. The root (bookworm,
# debootstrap) is made once into ${HOME}/.cache/velmKortd (or VELM_SYSTEMD_CACHE), keyed by
# what it is made from; each run boots an overlay of it on a private tmpfs, in a private mount
# namespace and a cgroup of its own, which ends it: neither the root nor the machine changes.
# Usage: systemd_unit.sh INSTALL_ROOT   (prefix /usr, with the unit, the stand-in and the tools)
set -euo pipefail
. "$(dirname "$0")/common.sh"
stage=$(realpath "$1")
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
inside() { nsenter --target "$leader" --all "$@"; }
show() { inside systemctl show --property="$1" --value $unit; }
journal() { inside journalctl --quiet --no-pager "$@"; }
children() { local p; p=$(inside cat "/proc/$1/task/$1/children"); echo "${p% }"; }
active() { inside systemctl is-active --quiet $unit 2>/dev/null; }  # fails until systemd is up

await "$unit active after boot" active
said=$(inside systemd-analyze verify --man=no $unit 2>&1) && [ -z "$said" ] ||
    fail "systemd-analyze verify: $said"
main=$(show MainPID)
[ "$(inside readlink /proc/"$main"/exe)" = /usr/sbin/velmKort-logpipe ] ||
    fail "the main process is no velmKort-logpipe"
outputs=$(inside readlink /proc/"$main"/fd/1 /proc/"$main"/fd/2 /proc/"$(children "$main")"/fd/1)
[[ ${outputs//$'\n'/ } =~ ^/dev/null\ socket:\[[0-9]+\]\ /dev/pts/[0-9]+$ ]] ||
    fail "outputs of the log pipe and the daemon: $outputs"
inside test -S /tmp/velmKortSSocket || fail "the daemon's socket is not in the shared /tmp"
echo "after boot: $unit active, verified, the daemon's output a terminal, its socket in /tmp"

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
printf 'LOG_DUMPS="On"\n' >/tmp/root/etc/default/velmKortd
inside systemctl restart $unit
await "a restarted daemon" new_socket "$old"
inside velmKort-inject connect password=shown-masked
await "the masked password at info" \
    lines 1 '^password = \*\*\*\*\*\*\*\*$' journal -t velmKortd -p info..info -o cat
await "a third dispatch error, and none twice" errors 3
[[ $(journal -o export) != *shown-masked* ]] || fail "the password reached the journal"
rm /tmp/root/etc/default/velmKortd
echo "with LOG_DUMPS=\"On\": the dump at info, the password masked"

restarted() { [ "$(show NRestarts)" -gt "$1" ] && active; }  # after more than $1 restarts
for victim in daemon velmKort-logpipe; do
    pid=$(show MainPID) restarts=$(show NRestarts)
    [ $victim != daemon ] || pid=$(children "$pid")
    inside sh -c "kill -KILL $pid"
    await "$unit back after the $victim was killed" restarted "$restarts"
    echo "the $victim killed with -9: the unit came back"
done

inside systemctl stop $unit
[ "$(show ActiveState) $(show Result)" = "inactive success" ] ||
    fail "after stop: $(show ActiveState) $(show Result)"
left=$(inside sh -c 'readlink /proc/[0-9]*/exe' || true)
[[ $left != */usr/sbin/velmKort* ]] || fail "left running: $left"
echo "stop: inactive, nothing of the package running"

# A directory with something in it where the socket goes: every start-up fails on the bind.
inside sh -c 'rm /tmp/velmKortSSocket && mkdir -p /tmp/velmKortSSocket/kept'
inside systemctl reset-failed $unit && inside systemctl start $unit
await "$unit failed" inside systemctl is-failed --quiet $unit
runs=$(journal -u $unit -o cat | grep -c 'status=1/FAILURE$')
[ "$runs" -gt 1 ] || fail "$unit failed after $runs run"
await "a bind error at err for each of the $runs runs" \
    lines "$runs" '^ERROR#98 in bind on serverSocket$' journal -t velmKortd -p err -o cat
echo "a start-up that fails: $runs runs, then failed; each bind error at err"
