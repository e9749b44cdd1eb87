#!/usr/bin/env bash
# The procd init script declares one instance running /usr/sbin/velmKortd through
# velmKort-logpipe, with no arguments of the daemon's own, respawned with a threshold that
# gives up on a daemon failing at start, neither output captured by procd; with the UCI
# option log_dumps set, velmKort-logpipe is asked for the dumps. It is sourced under BusyBox
# sh, the device's shell, with procd's and UCI's functions replaced by ones that print their
# arguments or give the option's value.
# Usage: procd_init.sh SCRIPT
set -euo pipefail
. "$(dirname "$0")/common.sh"
script=$1

declared() {  # the UCI option log_dumps, or empty when unset
    busybox sh -c '
        procd_open_instance() { echo "open $*"; }
        procd_set_param() { echo "set $*"; }
        procd_close_instance() { echo "close $*"; }
        procd_add_reload_trigger() { echo "reload on $*"; }
        config_load() { echo "config $*"; }
        config_get_bool() { eval "$1=\${LOG_DUMPS:-$4}"; }
        LOG_DUMPS=$2
        . "$1"
        echo "USE_PROCD=$USE_PROCD"
        start_service
        service_triggers' sh "$script" "$1"
}
expected() {  # velmKort-logpipe's options
    echo "USE_PROCD=1
config velmkortd
open 
set command /usr/sbin/velmKort-logpipe $1/usr/sbin/velmKortd
set respawn 60 10 5
close 
reload on velmkortd"
}
for dumps in '' 0 1; do
    options=
    [ "$dumps" = 1 ] && options='--dumps '
    [ "$(declared "$dumps")" = "$(expected "$options")" ] ||
        fail "log_dumps '$dumps' declared: $(declared "$dumps")"
done
declared ''
echo "log_dumps 1: $(declared 1 | grep command)"
