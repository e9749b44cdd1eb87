# MIPS32, big-endian, o32 (Debian's mips-linux-gnu cross compiler), run under qemu-mips.
#
# Not the device's CPU, but the nearest thing this machine runs that shares its two
# properties the record code cares about: big-endian byte order and 32-bit `long`. It is also
# stricter than the device: an aligned-only 32-bit load (lw) at an unaligned address raises a
# bus error under qemu-mips, so any read of a record field that is not done bytewise fails
# loudly here instead of returning rotated garbage as an ARMv5 core would.
#
#   cmake -S . -B build-mips -G Ninja --toolchain cmake/toolchains/mips-linux-gnu.cmake
#
# Needs: g++-mips-linux-gnu, qemu-user (apt-get). ctest runs every test through qemu-mips.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(VELM_TARGET_TRIPLE mips-linux-gnu)
set(VELM_TARGET_SYSROOT /usr/${VELM_TARGET_TRIPLE})

set(CMAKE_C_COMPILER ${VELM_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VELM_TARGET_TRIPLE}-g++)

# The Debian cross compilers find their own headers and libraries; the root path only keeps
# find_* calls from picking up the build machine's x86-64 libraries.
set(CMAKE_FIND_ROOT_PATH ${VELM_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Without binfmt_misc the host cannot run a target binary by itself, so everything that starts
# one (ctest, and the tests that start the daemon) puts this in front. An absolute path, as
# some of them do not search PATH; -L is where qemu finds the target's loader and libc.
find_program(VELM_EMULATOR_PROGRAM qemu-mips)
if(NOT VELM_EMULATOR_PROGRAM)
    set(VELM_EMULATOR_PROGRAM qemu-mips)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${VELM_EMULATOR_PROGRAM} -L ${VELM_TARGET_SYSROOT})
