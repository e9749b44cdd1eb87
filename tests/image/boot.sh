#!/usr/bin/env bash
# The device's image booted under qemu-system-arm, each check read from its console: a root of
# the installed package, the C library it was linked against, BusyBox as init and applets, and
# this directory's rcS, rcK, S01syslogd and checks. The first boot runs S60velmKortd as
# Buildroot installs it; the second the respawn line of device.md instead.
# Usage: boot.sh INSTALL_ROOT VMLINUZ BUSYBOX SYSROOT WORK_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
install=$1 kernel=$2 busybox=$3 sysroot=$4 work=$5
root=$work/image failed=0

rm -rf "$root" && mkdir -p "$root"/{bin,sbin,lib,etc/init.d,etc/default,proc,sys,dev,tmp,var/run,var/log}
cp -a "$install/usr" "$root/"
rm -r "${root:?}/usr/share"
cp "$busybox" "$root/bin/busybox" && ln -s busybox "$root/bin/sh" && ln -s ../bin/busybox "$root/sbin/init"
install -m 0755 "$here"/{rcS,rcK,S01syslogd,check} "$here/../../packaging/buildroot/package/velmkortd/S60velmKortd" \
    "$root/etc/init.d/"
ln -s check "$root/etc/init.d/S99check" && ln -s check "$root/etc/init.d/S00check"
mkdir -p "$root/tmp/velmKortSSocket/stale"
cp -L "$sysroot/lib/ld-linux.so.3" "$root/lib/"
for _ in 1 2; do  # the libraries the programs need, then theirs
    for lib in $(readelf -d "$root"/usr/*bin/* "$root"/usr/lib/* "$root"/lib/* |
        sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort -u | grep -v libzel); do
        cp -L "$sysroot/lib/$lib" "$root/lib/"
    done
done

fail() { echo "FAIL: $*" >&2 && failed=1; }
boot() {  # boot NAME CHECKS INITTAB-LINE...: boots the root, expecting CHECKS passes and power-off
    console=$work/$1.console checks=$2
    shift 2
    printf '%s\n' ::sysinit:"/bin/busybox --install -s" ::sysinit:/etc/init.d/rcS "$@" \
        >"$root/etc/inittab"
    (cd "$root" && find . | busybox cpio -o -H newc -R 0:0 2>/dev/null) | gzip -1 >"$work/initrd"
    local started=$SECONDS status=0
    timeout 30 qemu-system-arm -M virt -cpu cortex-a15 -m 256 -nographic -nic none -no-reboot \
        -kernel "$kernel" -initrd "$work/initrd" -append "console=ttyAMA0 rdinit=/sbin/init quiet" \
        </dev/null | tr -d "\r" >"$console" || status=$?
    echo "=== boot $console: $((SECONDS - started)) s, qemu's status $status"
    [ "$status" = 0 ] || fail "no power-off within 30 s"
    grep '^image-check: FAIL' "$console" >&2 && fail "a check in the image failed"
    [ "$(grep -c '^image-check: PASS' "$console")" = "$checks" ] || fail "not $checks checks passed"
}

boot sysv 8 ::shutdown:/etc/init.d/rcK
said() { [ "$(grep "^$1" "$console" | tail -"$2" | tr '\n' /)" = "$3" ] || fail "${*:4}"; }
said 'Starting velmKortd' 3 'Starting velmKortd: FAIL/Starting velmKortd: OK/Starting velmKortd: OK/' \
    "S60velmKortd did not say FAIL at boot, then OK"
said Stopping 2 "Stopping velmKortd: OK/Stopping syslogd: OK/" "rcK did not stop S60 before syslogd"
grep '^image-check: \|^Sta\|^Sto' "$console"

rm -r "$root"/etc/init.d/{S00check,S60velmKortd,S99check} "$root/tmp/velmKortSSocket"
respawn=$(grep -x '::respawn:.*velmKortd' "$here/../../docs/device.md")
boot respawn 4 "$respawn" "::once:/etc/init.d/check respawn" ::shutdown:/etc/init.d/rcK
grep '^image-check: ' "$console"
[ "$failed" = 0 ] || { cat "$work"/*.console; exit 1; }
