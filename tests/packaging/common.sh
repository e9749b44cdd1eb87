# Sourced by the packaging tests.
# shellcheck shell=bash

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Polls a command for up to a minute, however long each try takes: what is waited for happens
# asynchronously, and a minute is far beyond what any of it takes.
await() {
    local what=$1 deadline=$((SECONDS + 60))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || fail "gave up after a minute waiting for $what"
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

# The pids of the processes whose program matches the pattern $1 (a path, or a glob of paths).
running() {
    local exe
    for exe in /proc/[0-9]*/exe; do
        # shellcheck disable=SC2254  # $1 is a pattern
        case $(readlink "$exe") in $1) basename "${exe%/exe}" ;; esac
    done
}

# Whether what "${@:3}" prints has exactly $1 lines that match the regular expression $2.
lines() { [ "$("${@:3}" | grep -c -- "$2")" = "$1" ]; }
