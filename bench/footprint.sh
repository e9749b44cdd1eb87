#!/usr/bin/env bash
# Footprint of what goes on the device: the stripped size of the daemon and of the stand-in
# libzel.so, natively and for the cross targets, with the libraries the daemon needs and
# any C++ runtime symbol it imports (there must be none).
#   bench/footprint.sh                      RelWithDebInfo, as scripts/test builds
#   BUILD_TYPE=MinSizeRel bench/footprint.sh
# Build trees: build-bench, build-bench-mips, build-bench-armv5te, build-bench-armeb,
# build-bench-armeb-uclibc (or BUILD, BUILD-mips, ...).
# A cross target whose compiler is missing is reported and skipped.
set -euo pipefail
# shellcheck source=bench/common.sh
source "$(dirname "$0")/common.sh"
build_type=${BUILD_TYPE:-RelWithDebInfo}
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

# target NAME TRIPLE TOOLCHAIN: builds the two files and prints their rows.
target() {
    local name=$1 triple=$2 toolchain=$3 dir=$build tools=""
    local options=(-DCMAKE_BUILD_TYPE="$build_type")
    if [ -n "$triple" ]; then
        dir=$build-$name
        tools=$triple-
        if ! command -v "${triple}-g++" >/dev/null; then
            printf '%-12s (no %s-g++: skipped)\n' "$name" "$triple"
            return
        fi
        options+=(--toolchain "$root/cmake/toolchains/$toolchain")
    fi
    if [ ! -f "$dir/CMakeCache.txt" ] ||
        ! grep -q "CMAKE_BUILD_TYPE:STRING=$build_type\$" "$dir/CMakeCache.txt"; then
        cmake -S "$root" -B "$dir" "${generator[@]}" "${options[@]}" >/dev/null
    fi
    cmake --build "$dir" -j 2 --target velmKortd zel >/dev/null
    local stripped=$dir/footprint
    mkdir -p "$stripped"
    for file in daemon/velmKortd standin/libzel.so; do
        "${tools}strip" -o "$stripped/$(basename "$file")" "$dir/$file"
        local bytes text data bss
        bytes=$(stat -c %s "$stripped/$(basename "$file")")
        read -r text data bss _ < <("${tools}size" "$stripped/$(basename "$file")" | tail -1)
        printf '%-12s %-11s %8d %8d %6d %5d\n' "$name" "$(basename "$file")" "$bytes" "$text" \
            "$data" "$bss"
    done
    local needed cxx
    needed=$("${tools}readelf" -d "$stripped/velmKortd" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' |
        paste -sd ' ')
    # libc's own __cxa_finalize (versioned GLIBC_*) is no C++ runtime.
    cxx=$("${tools}nm" -D --undefined-only "$stripped/velmKortd" | grep -v '@GLIBC_' |
        grep -cE ' (_Z|__cxa_|__gxx_|_Unwind_)' || true)
    printf '%-12s velmKortd needs: %s; C++ runtime symbols imported: %d\n' "$name" "$needed" "$cxx"
}

echo "stripped sizes in bytes, $build_type"
printf '%-12s %-11s %8s %8s %6s %5s\n' target file file text data bss
target native "" ""
target mips mips-linux-gnu mips-linux-gnu.cmake
target armv5te arm-linux-gnueabi armv5te-linux-gnueabi.cmake
# The device itself, with the toolchain that toolchain/armeb-toolchain builds (once, cached).
if armeb=$("$root/toolchain/armeb-toolchain" --dir 2>/dev/null) && [ -f "$armeb/complete" ]; then
    PATH=$armeb/bin:$PATH target armeb armeb-linux-musleabi armeb-linux-musleabi.cmake
else
    printf '%-12s (no toolchain: toolchain/armeb-toolchain builds it)\n' armeb
fi
# And with uClibc-ng, Buildroot's C library (toolchain/armeb-uclibc-toolchain).
if uclibc=$("$root/toolchain/armeb-uclibc-toolchain" --dir 2>/dev/null) && [ -f "$uclibc/complete" ]
then
    PATH=$uclibc/bin:$PATH target armeb-uclibc armeb-linux-uclibcgnueabi \
        armeb-linux-uclibcgnueabi.cmake
else
    printf '%-12s (no toolchain: toolchain/armeb-uclibc-toolchain builds it)\n' armeb-uclibc
fi
