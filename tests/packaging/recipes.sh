#!/usr/bin/env bash
# The two firmware recipes, evaluated by GNU make against stand-ins for the parts of Buildroot
# and OpenWrt they use: the options they give CMake, where they install the init scripts,
# that both refuse a source tree that is not this project and carry its version, and, for
# OpenWrt, a build from the source its Build/Prepare copies, configured with its options,
# installed and split into its three packages, which leave the man pages out.
# Usage: recipes.sh PACKAGING WORK [CMAKE_ARG...]
set -euo pipefail
. "$(dirname "$0")/common.sh"
packaging=$1 work=$2
shift 2
rm -rf "$work"
mkdir -p "$work/openwrt-include"

# Buildroot: what its package infrastructure would have defined by the time the recipes run.
cat >"$work/buildroot.mk" <<'MAKE'
INSTALL := install
include $(BR2_EXTERNAL_VELMKORTD_PATH)/external.mk
VELMKORTD_PKGDIR := $(BR2_EXTERNAL_VELMKORTD_PATH)/package/velmkortd/
conf-opts: ; @echo '$(strip $(VELMKORTD_CONF_OPTS))'
site: ; @echo '$(VELMKORTD_SITE)'
version: ; @echo '$(VELMKORTD_VERSION)'
pre-rsync:
	$(foreach hook,$(VELMKORTD_PRE_RSYNC_HOOKS),$(call $(hook)))
install-init:
	$(VELMKORTD_INSTALL_INIT_SYSV)
install-systemd:
	$(VELMKORTD_INSTALL_INIT_SYSTEMD)
MAKE
buildroot() {
    make -s -f "$work/buildroot.mk" BR2_EXTERNAL_VELMKORTD_PATH="$packaging/buildroot" "$@"
}
[ "$(buildroot conf-opts)" = "-DBUILD_TESTING=OFF -DVELM_WERROR=OFF \
-DVELM_INSTALL_STANDIN=OFF -DVELM_INSTALL_TOOLS=OFF" ] || fail "Buildroot: $(buildroot conf-opts)"
options=$(buildroot conf-opts BR2_PACKAGE_VELMKORTD_STANDIN=y BR2_PACKAGE_VELMKORTD_TOOLS=y)
[ "$options" = "-DBUILD_TESTING=OFF -DVELM_WERROR=OFF \
-DVELM_INSTALL_STANDIN=ON -DVELM_INSTALL_TOOLS=ON" ] || fail "Buildroot, both options: $options"
[ "$(buildroot site)" = "$(realpath "$packaging/..")" ] || fail "Buildroot site: $(buildroot site)"
buildroot pre-rsync || fail "Buildroot refuses its own checkout"
# The external tree copied out of its checkout points at whatever holds the copy.
mkdir -p "$work/elsewhere/tree"
cp -r "$packaging/buildroot" "$work/elsewhere/tree/"
said=$(make -s -f "$work/buildroot.mk" \
    BR2_EXTERNAL_VELMKORTD_PATH="$work/elsewhere/tree/buildroot" pre-rsync 2>&1) &&
    fail "Buildroot took $work/elsewhere as its source"
echo "$said" | grep -qF "'$work/elsewhere' is not a velmKortd checkout" ||
    fail "Buildroot's refusal says: $said"
for it in init:etc/init.d/S60velmKortd:755 systemd:usr/lib/systemd/system/velmkortd.service:644; do
    IFS=: read -r init file mode <<<"$it"
    buildroot "install-$init" TARGET_DIR="$work/buildroot-$init" >/dev/null
    [ "$(listing "$work/buildroot-$init")" = "$file" ] &&
        [ "$(stat -c %a "$work/buildroot-$init/$file")" = "$mode" ] ||
        fail "Buildroot's install-$init: $(listing "$work/buildroot-$init")"
done
echo "Buildroot: $options; installs etc/init.d/S60velmKortd, or with systemd $file"

# OpenWrt: its rules.mk, package.mk and cmake.mk, reduced to what the package uses.
cat >"$work/openwrt-include/rules.mk" <<'MAKE'
INSTALL_DIR := install -d -m0755
INSTALL_BIN := install -m0755
INSTALL_CONF := install -m0600
CP := cp -fpR
MAKE
cat >"$work/openwrt-include/package.mk" <<'MAKE'
PKG_BUILD_DIR := $(BUILD_DIR)/$(PKG_NAME)-$(PKG_VERSION)
PKG_INSTALL_DIR := $(PKG_BUILD_DIR)/ipkg-install
BuildPackage :=
MAKE
touch "$work/openwrt-include/cmake.mk"
cat >"$work/openwrt.mk" <<'MAKE'
TOPDIR := $(STUBS)
INCLUDE_DIR := $(STUBS)
include Makefile
prepare:
	$(Build/Prepare)
cmake-options: ; @echo '$(strip $(CMAKE_OPTIONS))'
build-dir: ; @echo '$(PKG_BUILD_DIR)'
version: ; @echo '$(PKG_VERSION)'
install-%:
	$(call Package/$*/install,$(PACKAGES)/$*)
MAKE
openwrt() {
    make -s -C "$packaging/openwrt/velmkortd" -f "$work/openwrt.mk" STUBS="$work/openwrt-include" \
        BUILD_DIR="$work/openwrt-build" PACKAGES="$work/openwrt-packages" "$@"
}
# Copied into an OpenWrt tree's package/ without VELMKORTD_SRC, the default source is the
# directory holding that tree: refused before anything is copied.
mkdir -p "$work/elsewhere/openwrt/package"
cp -r "$packaging/openwrt/velmkortd" "$work/elsewhere/openwrt/package/"
said=$(make -s -C "$work/elsewhere/openwrt/package/velmkortd" -f "$work/openwrt.mk" \
    STUBS="$work/openwrt-include" BUILD_DIR="$work/elsewhere-build" prepare 2>&1) &&
    fail "OpenWrt took $work/elsewhere as its source"
echo "$said" | grep -qF "'$work/elsewhere' is not a velmKortd checkout" ||
    fail "OpenWrt's refusal says: $said"
[ ! -e "$work/elsewhere-build" ] || fail "OpenWrt prepared a build from the wrong source"
echo "both recipes refuse a source that is not this project"

# The version is project()'s in CMakeLists.txt; each recipe repeats it.
version=$(sed -n 's/^project(velmKortd VERSION \([^ ]*\) .*/\1/p' "$packaging/../CMakeLists.txt")
for recipe in buildroot openwrt; do
    [ -n "$version" ] && [ "$($recipe version)" = "$version" ] ||
        fail "$recipe's version $($recipe version) is not CMakeLists.txt's '$version'"
done

openwrt prepare
build=$(openwrt build-dir)
read -ra options <<<"$(openwrt cmake-options)"
# In the source directory, with prefix /usr, as OpenWrt's cmake.mk does.
cmake -S "$build" -B "$build" --no-warn-unused-cli "$@" "${options[@]}" \
    -DCMAKE_INSTALL_PREFIX=/usr >"$work/openwrt-configure.log" 2>&1 ||
    { cat "$work/openwrt-configure.log"; exit 1; }
cmake --build "$build" -j 2 >"$work/openwrt-build.log" 2>&1 ||
    { cat "$work/openwrt-build.log"; exit 1; }
DESTDIR=$build/ipkg-install cmake --install "$build" >/dev/null
openwrt install-velmkortd install-velmkortd-standin install-velmkortd-tools >/dev/null
packages=$work/openwrt-packages
# The man pages come with the install, and go into no package: each copies its files by name.
[ "$(listing "$build/ipkg-install/usr/share/man" | tr '\n' ' ')" = "man1/velmKort-inject.1 \
man1/velmKort-peer.1 man8/velmKort-logpipe.8 man8/velmKortd.8 " ] ||
    fail "OpenWrt install: $(listing "$build/ipkg-install/usr/share/man")"
expected=$(printf '%s\n' etc/config/velmkortd etc/init.d/velmkortd usr/sbin/velmKort-logpipe \
    usr/sbin/velmKortd)
[ "$(listing "$packages/velmkortd")" = "$expected" ] ||
    fail "OpenWrt velmkortd: $(listing "$packages/velmkortd")"
cmp "$packages/velmkortd/etc/init.d/velmkortd" "$packaging/openwrt/velmkortd/files/velmkortd.init"
cmp "$packages/velmkortd/etc/config/velmkortd" "$packaging/openwrt/velmkortd/files/velmkortd.config"
[ -x "$packages/velmkortd/etc/init.d/velmkortd" ] || fail "OpenWrt init script not executable"
[ "$(listing "$packages/velmkortd-standin")" = usr/lib/libzel.so ] ||
    fail "OpenWrt velmkortd-standin: $(listing "$packages/velmkortd-standin")"
tools=$(listing "$packages/velmkortd-tools")
[ "$tools" = "$(printf '%s\n' usr/bin/velmKort-inject usr/bin/velmKort-peer)" ] ||
    fail "OpenWrt velmkortd-tools: $tools"
echo "OpenWrt: ${options[*]}; packages velmkortd, velmkortd-standin and velmkortd-tools as expected"
