#!/usr/bin/env bash
# The procd init script declares one instance running /usr/sbin/velmKortd with no arguments,
# respawned, its output to the log. It is sourced under BusyBox sh, the device's shell, with
# procd's functions replaced by ones that print their arguments.
# Usage: procd_init.sh SCRIPT
set -euo pipefail
. "$(dirname "$0")/common.sh"
script=$1

declared=$(busybox sh -c '
    procd_open_instance() { echo "open $*"; }
    procd_set_param() { echo "set $*"; }
    procd_close_instance() { echo "close $*"; }
    . "$1"
    echo "USE_PROCD=$USE_PROCD"
    start_service' sh "$script")
expected='USE_PROCD=1
open 
set command /usr/sbin/velmKortd
set respawn 3600 5 5
set stdout 1
set stderr 1
close '
[ "$declared" = "$expected" ] || fail "declared: $declared"
echo "$declared"
