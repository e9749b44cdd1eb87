# shellcheck shell=bash
# What scripts/test's suites and scripts/demo need from Debian, and the installing of what of
# it this machine lacks. Sourced, not run.
#
# As root on a machine with apt-get, the missing packages are installed (apt-get update
# first), and the script says which; with VELM_NO_INSTALL=1, or as another user, they are
# only named, and a suite that needs them then fails saying what it lacks.

# Every build: the build system and the compiler.
velm_base_packages=(cmake ninja-build make g++)

# What each suite adds to that, and the demo. A new suite adds its line here; what it needs
# from outside Debian's packages (a compiler fetched with npm, say) it fetches itself.
declare -A velm_packages_of=(
    [native]="pkgconf libgtest-dev googletest libbenchmark-dev util-linux procps busybox shellcheck python3-kconfiglib mandoc"
    [sanitize]="libgtest-dev googletest util-linux procps"
    [mips]="pkgconf googletest util-linux procps busybox shellcheck python3-kconfiglib g++-mips-linux-gnu qemu-user"
    [armv5te]="pkgconf googletest util-linux procps busybox shellcheck python3-kconfiglib g++-arm-linux-gnueabi qemu-user"
    [armeb]="pkgconf googletest util-linux procps busybox shellcheck python3-kconfiglib python3 gcc-arm-linux-gnueabi g++-arm-linux-gnueabi binutils-arm-linux-gnueabi linux-libc-dev-armel-cross clang-14 qemu-user dpkg-dev xz-utils ca-certificates python3-distutils"
    [armeb-uclibc]="pkgconf googletest util-linux procps busybox shellcheck python3-kconfiglib python3 gcc-arm-linux-gnueabi g++-arm-linux-gnueabi binutils-arm-linux-gnueabi linux-libc-dev-armel-cross clang-14 qemu-user dpkg-dev xz-utils ca-certificates python3-distutils uclibc-source patch"
    [clang-armeb]="pkgconf googletest util-linux procps busybox shellcheck python3-kconfiglib python3 gcc-arm-linux-gnueabi g++-arm-linux-gnueabi binutils-arm-linux-gnueabi linux-libc-dev-armel-cross clang-14 qemu-user dpkg-dev xz-utils ca-certificates python3-distutils"
    [gcc11]="g++-11"
    [clang-libstdcxx]="clang-14"
    [clang-libcxx]="clang-14 libc++-14-dev libc++abi-14-dev"
    [fuzz]="clang-14 libclang-rt-14-dev"
    [musl]="musl googletest util-linux procps npm"
    # Without the recommended libnss-mymachines, which would edit this machine's nsswitch.conf.
    [systemd]="systemd-container debootstrap util-linux"
    # qemu-system-arm without its recommended packages, as the suite needs none of them.
    [image]="g++-arm-linux-gnueabi qemu-system-arm busybox binutils dpkg"
    [demo]="util-linux coreutils sed python3"
)

# Tools that may come from outside Debian's packages, as npm with an image's own Node.js: on
# PATH counts as installed, so that Debian's are installed only where there is none.
velm_tools=" npm "

# velm_install_for NAME...: installs what the base and the named suites need and is missing.
velm_install_for() {
    local -A wanted=()
    local name package
    for package in "${velm_base_packages[@]}"; do wanted[$package]=1; done
    for name in "$@"; do
        for package in ${velm_packages_of[$name]:-}; do wanted[$package]=1; done
    done
    # Not a Debian machine: nothing to ask; the suites say what they lack.
    command -v dpkg-query >/dev/null || return 0
    local missing=()
    for package in "${!wanted[@]}"; do
        [[ $velm_tools == *" $package "* ]] && command -v "$package" >/dev/null && continue
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort)
    if [ "${VELM_NO_INSTALL:-0}" = 1 ] || [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null
    then
        echo "=== not installed: ${missing[*]} (apt-get install them, or run this as root)" >&2
        return 0
    fi
    echo "=== installing with apt-get: ${missing[*]}"
    local log
    log=$(mktemp /var/tmp/velmKortd-apt.XXXXXX)
    if ! { apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "${missing[@]}"; } >"$log" 2>&1; then
        tail -20 "$log" >&2
        echo "=== apt-get could not install them; its output is in $log" >&2
        return 1
    fi
    rm -f "$log"
}
