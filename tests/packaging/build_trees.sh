#!/usr/bin/env bash
# Builds and installs the project as a firmware build does (no tests, prefix /usr, DESTDIR),
# for the packaging tests that look at the results, all under WORK:
#   a, other-build-dir/b   the same source, built in two directories of different path lengths,
#                          with the stand-in and the tools installed, as the init script tests
#                          need, and the systemd unit; GoogleTest is made
#                          unavailable, so configuring fails if anything reaches for it
#   root-a, root-b         their install trees
#   root-default           tree a again, its install options back at their defaults
#   root-tested            the build these tests run from, with its tests, installed
# Usage: build_trees.sh SOURCE WORK TESTED_BUILD [CMAKE_ARG...]
set -euo pipefail
source=$1 work=$2 tested=$3
shift 3

rm -rf "$work"
mkdir -p "$work"

configure() {  # build dir, extra options
    local dir=$1
    shift
    cmake -S "$source" -B "$dir" --no-warn-unused-cli "$@" -DCMAKE_INSTALL_PREFIX=/usr \
        -DBUILD_TESTING=OFF -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
        -DVELM_GTEST_SOURCE_DIR="$work/no-googletest" >"$dir.configure.log" 2>&1 ||
        { cat "$dir.configure.log"; exit 1; }
}

build_and_install() {  # build dir, install root
    cmake --build "$1" -j 2 >"$1.build.log" 2>&1 || { cat "$1.build.log"; exit 1; }
    DESTDIR=$2 cmake --install "$1" >/dev/null
}

for tree in a other-build-dir/b; do
    mkdir -p "$work/$tree"
    configure "$work/$tree" "$@" -DVELM_INSTALL_STANDIN=ON -DVELM_INSTALL_TOOLS=ON \
        -DVELM_INSTALL_SYSTEMD_UNIT=ON
    build_and_install "$work/$tree" "$work/root-${tree##*/}"
done

# -U drops the cached values, so the options take their defaults again.
configure "$work/a" -U 'VELM_INSTALL_*'
build_and_install "$work/a" "$work/root-default"

DESTDIR=$work/root-tested cmake --install "$tested" >/dev/null
echo "built and installed under $work"
