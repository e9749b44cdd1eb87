#!/usr/bin/env bash
# The two firmware recipes, evaluated by GNU make against stand-ins for the parts of Buildroot
# and OpenWrt they use: the options they give CMake, where they install the init scripts,
# and, for OpenWrt, a build from the source its Build/Prepare copies, configured with its
# options, installed and split into its two packages.
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
install-init:
	$(VELMKORTD_INSTALL_INIT_SYSV)
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
buildroot install-init TARGET_DIR="$work/buildroot-target" >/dev/null
[ "$(listing "$work/buildroot-target")" = etc/init.d/S60velmKortd ] &&
    [ -x "$work/buildroot-target/etc/init.d/S60velmKortd" ] ||
    fail "Buildroot target: $(listing "$work/buildroot-target")"
echo "Buildroot: $options; installs etc/init.d/S60velmKortd"

# OpenWrt: its rules.mk, package.mk and cmake.mk, reduced to what the package uses.
cat >"$work/openwrt-include/rules.mk" <<'MAKE'
INSTALL_DIR := install -d -m0755
INSTALL_BIN := install -m0755
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
install-%:
	$(call Package/$*/install,$(PACKAGES)/$*)
MAKE
openwrt() {
    make -s -C "$packaging/openwrt/velmkortd" -f "$work/openwrt.mk" STUBS="$work/openwrt-include" \
        BUILD_DIR="$work/openwrt-build" PACKAGES="$work/openwrt-packages" "$@"
}
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
openwrt install-velmkortd install-velmkortd-standin >/dev/null
packages=$work/openwrt-packages
expected=$(printf '%s\n' etc/init.d/velmkortd usr/sbin/velmKortd)
[ "$(listing "$packages/velmkortd")" = "$expected" ] ||
    fail "OpenWrt velmkortd: $(listing "$packages/velmkortd")"
cmp "$packages/velmkortd/etc/init.d/velmkortd" "$packaging/openwrt/velmkortd/files/velmkortd.init"
[ -x "$packages/velmkortd/etc/init.d/velmkortd" ] || fail "OpenWrt init script not executable"
[ "$(listing "$packages/velmkortd-standin")" = usr/lib/libzel.so ] ||
    fail "OpenWrt velmkortd-standin: $(listing "$packages/velmkortd-standin")"
echo "OpenWrt: ${options[*]}; packages velmkortd and velmkortd-standin as expected"
