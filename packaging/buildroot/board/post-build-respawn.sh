#!/bin/sh
# For an image with BusyBox init that should bring velmKortd back whenever it ends: init
# respawns velmKort-logpipe, the daemon its child, from a line in /etc/inittab, and
# S60velmKortd, which would start a second daemon, goes. Named in BR2_ROOTFS_POST_BUILD_SCRIPT,
# it is run with the target directory as $1 after every build into it: an inittab that already
# respawns velmKort-logpipe (with --dumps, say, from the board's overlay) is left as it is.
set -eu
target=${1:?"usage: $0 TARGET_DIR"}
inittab=$target/etc/inittab
[ -f "$inittab" ] || { echo "$0: no $inittab: BR2_INIT_BUSYBOX installs one" >&2; exit 1; }
grep -q '^[^#]*:respawn:/usr/sbin/velmKort-logpipe ' "$inittab" ||
	echo '::respawn:/usr/sbin/velmKort-logpipe /usr/sbin/velmKortd' >>"$inittab"
rm -f "$target/etc/init.d/S60velmKortd"
