#!/usr/bin/env bash
# What the install puts on a device, from the trees build_trees.sh made: the daemon and
# velmKort-logpipe, which both init scripts need, by default; the stand-in, the tools and the
# systemd unit (the Buildroot package's, for prefix /usr) only when asked for; each program with
# its man page, never a test; no test code without BUILD_TESTING; no build-host path installed.
# Usage: install_tree.sh SOURCE WORK [LIBC-SONAME]   (glibc's libc.so.6, musl's libc.so)
set -euo pipefail
. "$(dirname "$0")/common.sh"
source=$1 work=$2 libc=${3:-libc.so.6}

default=$(listing "$work/root-default")
[ "$default" = "$(printf '%s\n' usr/sbin/velmKort-logpipe usr/sbin/velmKortd \
    usr/share/man/man8/velmKort-logpipe.8 usr/share/man/man8/velmKortd.8)" ] ||
    fail "default install: $default"

# The stand-in lands in the library directory GNUInstallDirs picks for the host.
all=$(listing "$work/root-a")
echo "$all" | grep -qxE 'usr/lib(/[^/]+)?/libzel\.so' || fail "no libzel.so in: $all"
[ "$(echo "$all" | grep -v '/libzel\.so$')" = "$(printf '%s\n' usr/bin/velmKort-inject \
    usr/bin/velmKort-peer usr/lib/systemd/system/velmkortd.service \
    usr/sbin/velmKort-logpipe usr/sbin/velmKortd \
    usr/share/man/man1/velmKort-inject.1 usr/share/man/man1/velmKort-peer.1 \
    usr/share/man/man8/velmKort-logpipe.8 usr/share/man/man8/velmKortd.8)" ] ||
    fail "install with every option: $all"
cmp "$work/root-a/usr/lib/systemd/system/velmkortd.service" \
    "$source/packaging/buildroot/package/velmkortd/velmkortd.service"

# The build the tests run from has its tests built, and installs none of them.
tested=$(listing "$work/root-tested")
echo "$tested" | grep -q 'sbin/velmKortd$' || fail "tested build installs no daemon: $tested"
echo "$tested" |
    grep -vE '(sbin|man8)/velmKortd(\.8)?$|/libzel\.so$|(bin|man.)/velmKort-(inject|peer|logpipe)(\.[18])?$' &&
    fail "tested build installs more than the product: $tested"

for tree in "$work/a" "$work/other-build-dir/b"; do
    grep -qx 'BUILD_TESTING:BOOL=OFF' "$tree/CMakeCache.txt" || fail "$tree has tests on"
    built_tests=$(cd "$tree" && find . -name '*.o' | grep -E '_test|/tests/|gtest|gmock' || true)
    [ -z "$built_tests" ] || fail "test code built without BUILD_TESTING: $built_tests"
done

daemon=$work/root-a/usr/sbin/velmKortd
dynamic=$(readelf -d "$daemon")
echo "$dynamic" | grep -E 'R(UN)?PATH' && fail "the installed daemon keeps a library path"
needed=$(echo "$dynamic" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
[ "$needed" = "libzel.so $libc " ] || fail "the daemon needs: $needed"
version=$(sed -n 's/^project(velmKortd VERSION \([^ ]*\) .*/\1/p' "$source/CMakeLists.txt")
readelf -n "$daemon" | grep -qF "{\"name\":\"velmKortd\",\"version\":\"$version\"}" ||
    fail "the installed daemon carries no version note for $version (readelf -n)"
logpipe=$(readelf -d "$work/root-a/usr/sbin/velmKort-logpipe" | grep -E 'NEEDED|R(UN)?PATH')
[ "$logpipe" = "$(echo "$dynamic" | grep -F "[$libc]")" ] ||
    fail "velmKort-logpipe needs more than the C library: $logpipe"

# The header's pkg-config file finds the header wherever the tree is installed; its component,
# the recipes' staging install, holds nothing else.
cmake --install "$work/a" --component header --prefix "$work/relocated" >/dev/null
[ "$(listing "$work/relocated")" = "$(printf '%s\n' include/velmKortd/mgmt_event.h \
    share/pkgconfig/velmKortd.pc)" ] || fail "header component: $(listing "$work/relocated")"
read -r include < <(PKG_CONFIG_PATH=$work/relocated/share/pkgconfig pkg-config --cflags velmKortd)
[ -f "${include#-I}/velmKortd/mgmt_event.h" ] || fail "pkg-config --cflags velmKortd: $include"
# tools.md shows what it prints, for the prefix there.
grep -qxF -- "-I/var/tmp/velm-header${include#"-I$work/relocated"}" "$source/docs/tools.md" ||
    fail "docs/tools.md does not show pkg-config --cflags as it prints it: $include"

for file in $(listing "$work/root-a"); do
    if grep -qF -e "$source" -e "$work" "$work/root-a/$file"; then
        fail "$file names a build-host path"
    fi
done
echo "install trees as expected; the daemon needs only: $needed"
