# Sourced by the packaging tests.
# shellcheck shell=bash

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Polls a command for up to a minute: what is waited for happens asynchronously, and a minute
# is far beyond what any of it takes.
await() {
    local what=$1 tries=600
    shift
    until "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || fail "gave up waiting for $what"
        sleep 0.1
    done
}

# Every file and link under a tree, relative to it, one a line, sorted.
listing() {
    (cd "$1" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
}
