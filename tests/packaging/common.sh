# Sourced by the packaging tests.
# shellcheck shell=bash

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Polls a command for up to a minute, however long each try takes: what is waited for happens
# asynchronously, and a minute is far beyond what any of it takes.
await() {
    local what=$1 until=$((SECONDS + 60))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$until" ] || fail "gave up after a minute waiting for $what"
        sleep 0.1
    done
}

# Every file and link under a tree, relative to it, one a line, sorted.
listing() {
    (cd "$1" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
}

# A /dev of its own in directory $1: /dev/null and a private instance of pseudo-terminals.
private_dev() {
    mkdir -p "$1/pts"
    touch "$1/null" && mount --bind /dev/null "$1/null"
    mount -t devpts -o newinstance,ptmxmode=0666 velm-pts "$1/pts"
    ln -s pts/ptmx "$1/ptmx"
}

# The pids of the children of process $1 named $2 (the program's file name, cut at 15 bytes):
# found from the parent, as their supervisor knows them; the path of their program, under a
# chroot, the kernel may give from the machine's root.
named_children() {
    local pid pids
    read -ra pids <<<"$(cat /proc/"$1"/task/*/children 2>/dev/null)"
    for pid in "${pids[@]}"; do
        [ "$(cat "/proc/$pid/comm" 2>/dev/null)" != "$2" ] || echo "$pid"
    done
}
# The one child of process $1 named $2, if there is exactly one.
only_child() { local pids; pids=$(named_children "$@") && [[ $pids =~ ^[0-9]+$ ]] && echo "$pids"; }

# Whether what "${@:3}" prints has exactly $1 lines that match the regular expression $2.
lines() { [ "$("${@:3}" | grep -c -- "$2")" = "$1" ]; }
