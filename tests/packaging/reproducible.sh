#!/usr/bin/env bash
# The same source built in two directories whose paths differ, even in length, installs
# byte-identical files: unstripped, debug information included.
# Usage: reproducible.sh WORK
set -euo pipefail
. "$(dirname "$0")/common.sh"
work=$1

a=$work/root-a b=$work/root-b
[ "$(listing "$a")" = "$(listing "$b")" ] ||
    fail "different files: $(diff <(listing "$a") <(listing "$b"))"
for file in $(listing "$a"); do
    cmp "$a/$file" "$b/$file" || fail "$file differs between the two builds"
done
readelf -S "$a/usr/sbin/velmKortd" | grep -q '\.debug_info' ||
    fail "the daemon has no debug information: nothing that names a path was compared"
sha256sum "$a/usr/sbin/velmKortd" "$b/usr/sbin/velmKortd"
echo "$(listing "$a" | wc -l) installed files identical"
