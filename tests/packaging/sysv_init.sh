#!/usr/bin/env bash
# The Buildroot init script run for real against the installed daemon and stand-in, each of
# its actions and settings, with the log pipe or the daemon killed behind its back, daemons
# slow to end, deaf to SIGTERM or failing; in private mount and pid namespaces with its own
# /tmp, /var/run, /etc/default, /dev and syslogd, the installed programs over /usr/sbin: the
# machine's are never touched, and whatever still runs at the end goes with the namespace.
# Usage: sysv_init.sh busybox|debian INIT_SCRIPT INSTALL_ROOT
#   busybox  the script under BusyBox sh with BusyBox start-stop-daemon, as on the device
#   debian   the script under /bin/sh with dpkg's start-stop-daemon, which Buildroot offers too
set -euo pipefail
. "$(dirname "$0")/common.sh"
variant=$1 script=$2 root=$3

if [ "${VELM_INSIDE:-}" != 1 ]; then
    case $(realpath "$root") in /tmp/* | /var/run/* | /run/* | /dev/*)
        echo "SKIP: $root would be hidden by the private mounts"; exit 77 ;;
    esac
    unshare -m -p -f --mount-proc true 2>/dev/null || { echo "SKIP: needs root"; exit 77; }
    VELM_INSIDE=1 exec unshare -m -p -f --mount-proc --propagation private "$0" "$@"
fi

mount -t tmpfs velm-tmp /tmp
mount -t tmpfs velm-run /var/run
mkdir /tmp/dev && mount -t tmpfs velm-dev /tmp/dev
private_dev /tmp/dev
mount --move /tmp/dev /dev
mount -t tmpfs velm-default /etc/default
sbin() {  # the script's programs, in these directories, shown at /usr/sbin
    ! mountpoint -q /usr/sbin || umount /usr/sbin
    mount -t overlay velm-sbin -o "lowerdir=$1:/usr/sbin" /usr/sbin
}
sbin "$root/usr/sbin"

daemon=/usr/sbin/velmKortd
bin=$root/usr/bin
socket=/tmp/velmKortSSocket
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
LD_LIBRARY_PATH=$(dirname "$(find "$root" -name libzel.so)")
export LD_LIBRARY_PATH
# One variant keeps the script's pid file, the other moves it, as the script's settings allow;
# each spells the dumps setting its own way.
case $variant in
    busybox)
        shell=(busybox sh) pidfile=/var/run/velmKortd.pid moved='' dumps_on=1
        mkdir /tmp/busybox && ln -s "$(command -v busybox)" /tmp/busybox/start-stop-daemon
        PATH=/tmp/busybox:$PATH ;;
    debian)
        shell=(/bin/sh) pidfile=/tmp/velmKortd.pid moved=PIDFILE=/tmp/velmKortd.pid dumps_on=yes ;;
esac
settings() { printf '%s\n' "$moved" "$@" >/etc/default/velmKortd; }
# The script's own waits, counted and not waited, when its PATH starts with /tmp/fake; counted
# and waited with /tmp/count.
mkdir /tmp/fake /tmp/count && printf '#!/bin/sh\necho "$*" >>/tmp/slept\n' >/tmp/fake/sleep
printf '#!/bin/sh\necho "$*" >>/tmp/slept\nexec /bin/sleep "$@"\n' >/tmp/count/sleep
chmod +x /tmp/fake/sleep /tmp/count/sleep
settings

init() { "${shell[@]}" "$script" "$1"; }
expect() {  # exit status, output, action
    local out rc=0
    out=$(init "$3") || rc=$?
    [ "$rc" = "$1" ] && [ "$out" = "$2" ] || fail "$3: status $rc, said: $out"
    echo "$3: $out"
}
alive() { [ "$(cut -d' ' -f3 "/proc/$1/stat" 2>/dev/null || echo Z)" != Z ]; }  # a zombie: gone
gone() { ! alive "$1"; }
new_pid() { [ -s "$pidfile" ] && [ "$(cat "$pidfile")" != "$1" ]; }
new_socket() { [ -S "$socket" ] && [ "$(stat -c %i "$socket")" != "$1" ]; }
start_anew() {  # action $1 (start by default) says $2, ends what ran, and runs anew: the log
    # pipe under a new pid file, the daemon its child, and a new socket
    local old=${pid:-none} inode
    inode=$(stat -c %i "$socket" 2>/dev/null) || inode=none
    expect 0 "${2:-Starting velmKortd: OK}" "${1:-start}"
    ! alive "$old" || fail "pid $old still runs after ${1:-start}"
    await "a pid file other than '$old'" new_pid "$old"
    await "a socket file other than inode '$inode'" new_socket "$inode"
    pid=$(cat "$pidfile")
    read -r child <"/proc/$pid/task/$pid/children" || [ -n "$child" ]  # no newline
    [ "$(readlink "/proc/$pid/exe")" = /usr/sbin/velmKort-logpipe ] || fail "pid $pid: no log pipe"
    [ "$(readlink "/proc/$child/exe")" = "$daemon" ] || fail "pid $child is not the daemon"
    case $(readlink "/proc/$child/fd/1") in /dev/pts/*) ;; *) fail "its output is no terminal" ;; esac
    echo "running as pid $child under pid $pid"
}
# Neither the daemon nor its log pipe runs: whichever outlives its parent is this script's child.
idle() { [ -z "$(named_children 1 velmKort-logpip; named_children 1 velmKortd)" ]; }

busybox syslogd -n -O /tmp/messages &
await "syslogd's /dev/log" test -S /dev/log

start_anew
expect 0 "velmKortd is running (pid $pid)" status
expect 0 'Starting velmKortd: already running' start
[ "$(cat "$pidfile")" = "$pid" ] || fail "a second start replaced the pid file"

timeout 60 "$bin/velmKort-peer" --count 1 >/tmp/peer.out &
peer=$!
await "the peer's socket" test -S /tmp/velmKortCSocket
await "the stand-in's socket" test -S /tmp/zelStandinSocket
"$bin/velmKort-inject" --type connect
wait "$peer" || fail "the peer got nothing: $(cat /tmp/peer.out)"
grep -q "from $socket: 284 bytes, type CONNECT" /tmp/peer.out || fail "peer: $(cat /tmp/peer.out)"
await "the announcement in syslog" grep -q 'velmKortd.*MGMT: CONNECT' /tmp/messages
echo "the connect reached the peer and syslog"

# The peer has gone: the next event's dispatch error is logged at once, alone.
"$bin/velmKort-inject" --type update password=hidden-by-default
await "the dispatch error in syslog" \
    grep -q 'daemon\.err velmKortd: ERROR#2 in dispatching the event to trund$' /tmp/messages
grep -e password -e hidden-by-default -e ' = ' -e 'daemon\.[a-z]* velmKortd: MGMT' \
    /tmp/messages && fail "the dump reached syslog"
echo "the error reached syslog as velmKortd at daemon.err, the dump did not"

expect 0 'Stopping velmKortd: OK' stop
! alive "$pid" || fail "pid $pid still runs after stop"
[ ! -e "$pidfile" ] || fail "stop left the pid file"
[ -S "$socket" ] || fail "the daemon should leave its socket file behind"
expect 3 'velmKortd is not running' status
start_anew
echo "the daemon replaced the stale socket file"
start_anew restart $'Stopping velmKortd: OK\nStarting velmKortd: OK'

# The log pipe killed, the daemon ends with it; the daemon killed, the log pipe ends: status
# tells the truth either way.
for victim in pid child; do
    kill -KILL "${!victim}"
    await "pid $pid and $child to end" eval "gone $pid && gone $child"
    echo "killed $victim ${!victim} behind the script's back"
    expect 1 "velmKortd is not running, but $pidfile remains" status
    start_anew
done
expect 0 'Stopping velmKortd: OK' stop
! alive "$pid" && ! alive "$child" || fail "pid $pid or $child still runs after stop"

settings "LOG_DUMPS=$dumps_on"
start_anew
"$bin/velmKort-inject" --type connect password=shown-masked
await "the masked password in syslog" \
    grep -q 'daemon\.info velmKortd: password = \*\*\*\*\*\*\*\*$' /tmp/messages
await "the dump's last line in syslog" grep -q 'daemon\.info velmKortd: idleTimeout = ' /tmp/messages
grep -q 'daemon\.info velmKortd: username = ' /tmp/messages || fail "the dump is not in syslog"
grep -q shown-masked /tmp/messages && fail "the password reached syslog"
grep 'daemon\.[a-z]* velmKortd: MGMT' /tmp/messages && fail "the announcement was logged twice"
expect 0 'Stopping velmKortd: OK' stop
echo "with LOG_DUMPS=$dumps_on the dump reached syslog, its password masked"

# Named: a LOG_DUMPS no known word, which logs no dump; a START_WAIT no whole number (or
# empty), or above 60 s (or too long for -gt), which starts nothing. What the stand-in says on
# stderr, which start-stop-daemon -b drops, is logged once. Stop with a stale pid file
# signals nobody and removes it.
settings LOG_DUMPS=bogus
said=$(ZEL_STANDIN_OFFSET=x init start 2>&1) && grep -q "^velmKortd: LOG_DUMPS='bogus'" <<<"$said" &&
    [ "$(tail -n 1 <<<"$said")" = 'Starting velmKortd: OK' ] || fail "LOG_DUMPS=bogus: $said"
complaint='daemon\.err velmKortd: zel-standin: ZEL_STANDIN_OFFSET=x'
await "the stand-in's complaint in syslog" grep -q "$complaint" /tmp/messages
[ "$(grep -c zel-standin /tmp/messages)" = 1 ] || fail "logged: $(cat /tmp/messages)"
: >/tmp/messages
"$bin/velmKort-inject" --type connect username=bogus-dumps
await "the dispatch error in syslog" grep -q 'velmKortd: ERROR#2 in dispatching' /tmp/messages
grep -e bogus-dumps -e ' = ' /tmp/messages && fail "LOG_DUMPS=bogus logged the dump"
expect 0 'Stopping velmKortd: OK' stop
for wait in abc 61 '' 99999999999999999999; do
    settings "START_WAIT=$wait"
    said=$(PATH=/tmp/fake:$PATH init start 2>&1) && fail "START_WAIT=$wait started: $said"
    grep -q "^velmKortd: START_WAIT='$wait'" <<<"$said" &&
        [ "$(tail -n 1 <<<"$said")" = 'Starting velmKortd: FAIL' ] || fail "said: $said"
    expect 3 'velmKortd is not running' status
done
# No pid to read (its directory missing, or full: the file stays empty): FAIL at once, on one
# line of its own; what was started runs untracked, and is ended here.
mkdir /tmp/full && mount -t tmpfs -o size=4k velm-full /tmp/full && printf '%4096s' >/tmp/full/0
for file in /tmp/none/velmKortd.pid /tmp/full/velmKortd.pid; do
    settings "PIDFILE=$file" && rm -f /tmp/slept
    said=$(PATH=/tmp/fake:$PATH init start 2>&1) && fail "PIDFILE=$file started: $said"
    [[ $said == *"FAIL"$'\n'"velmKortd: no pid in $file; what started is not tracked" ]] &&
        [ ! -e /tmp/slept ] || fail "PIDFILE=$file: $said; slept: $(cat /tmp/slept)"
    await "the untracked log pipe" only_child 1 velmKort-logpip >/dev/null
    kill "$(only_child 1 velmKort-logpip)" && await "the untracked daemon to end" idle
done
settings
echo "bad settings named; no dump logged, nothing started; no pid: FAIL at once"
sleep 60 &
echo $! >"$pidfile"
expect 0 'Stopping velmKortd: OK' stop
[ ! -e "$pidfile" ] && alive $! || fail "stop with a stale pid file: signalled, or kept it"
expect 3 'velmKortd is not running' status
kill $!

# A daemon that takes a second to end after SIGTERM (bash, running BASH_ENV's commands), and
# leaves a process that holds its outputs seconds longer: stop returns once the log pipe and
# the daemon have gone (a zombie counts as gone); what holds the outputs is not waited for.
mkdir /tmp/slow && cp "$(command -v bash)" /tmp/slow/velmKortd
echo "trap '(trap \"\" HUP; exec sleep 4 >/dev/null) & sleep 1; exit' TERM
while :; do sleep 0.1; done" >/tmp/slow/run
sbin "/tmp/slow:$root/usr/sbin"
BASH_ENV=/tmp/slow/run expect 0 'Starting velmKortd: OK' start
expect 0 'Stopping velmKortd: OK' stop
idle || fail "stop returned while the log pipe or the daemon, slow to end, still ran"

# A daemon deaf to SIGTERM: stop gives up after 10 s of polls 0.1 s apart, and restart with it.
echo "trap '' TERM; while :; do sleep 0.1; done" >/tmp/slow/deaf
BASH_ENV=/tmp/slow/deaf expect 0 'Starting velmKortd: OK' start
pid=$(cat "$pidfile") && rm -f /tmp/slept
PATH=/tmp/fake:$PATH expect 1 'Stopping velmKortd: FAIL' restart
[ "$(sort -u /tmp/slept)" = 0.1 ] && [ "$(wc -l </tmp/slept)" = 100 ] || fail "slept: $(cat /tmp/slept)"
kill -KILL "$pid"
await "pid $pid to end" gone "$pid"
expect 0 'Stopping velmKortd: OK' stop
await "the daemon to end with its log pipe" idle
# A start-up that fails and leaves a process holding its outputs: FAIL, nothing of ours runs.
echo 'trap "" HUP; sleep 4 >/dev/null & exit 1' >/tmp/slow/fails
BASH_ENV=/tmp/slow/fails expect 1 'Starting velmKortd: FAIL' start
idle || fail "a failed start left something running"
sbin "$root/usr/sbin"

# A start sleeps START_WAIT, then polls only while start-stop-daemon's child is on its way to
# run the log pipe (dpkg's returns before): far fewer than the 100 polls of a wait that runs out.
settings START_WAIT=0 && rm -f /tmp/slept
PATH=/tmp/count:$PATH expect 0 'Starting velmKortd: OK' start
[ "$(head -n 1 /tmp/slept)" = 0 ] && [ "$(grep -c '^0\.1$' /tmp/slept)" -lt 10 ] ||
    fail "a start slept: $(tr '\n' ' ' </tmp/slept)"
expect 0 'Stopping velmKortd: OK' stop
settings

# A directory with something in it cannot be taken back: the bind fails.
rm "$socket" && mkdir -p "$socket/kept"
expect 1 'Starting velmKortd: FAIL' start
await "the bind error in syslog" \
    grep -q 'daemon\.err velmKortd: ERROR#98 in bind on serverSocket$' /tmp/messages
expect 3 'velmKortd is not running' status
expect 0 'Stopping velmKortd: OK' stop
echo "init script behaves with $variant start-stop-daemon"
