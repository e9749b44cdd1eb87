# ARMv5TE tuned for XScale, little-endian EABI (Debian's armel cross compiler), run under
# qemu-arm emulating a PXA270, an XScale core.
#
# The device's instruction set and core, in the other byte order: this catches code that
# needs a newer ARM (no ldrex/strex, no unaligned ldr, no hardware divide, no VFP on
# ARMv5TE), atomics that would call into a runtime library, and anything that depends on the
# EABI's layout rules. qemu executes only what a PXA270 has, so an ARMv6+ instruction is an
# illegal-instruction signal in the test that reaches it.
#
#   cmake -S . -B build-armv5te -G Ninja --toolchain cmake/toolchains/armv5te-linux-gnueabi.cmake
#
# Needs: g++-arm-linux-gnueabi, qemu-user (apt-get). ctest runs every test through qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv5te)

set(VELM_TARGET_TRIPLE arm-linux-gnueabi)
set(VELM_TARGET_SYSROOT /usr/${VELM_TARGET_TRIPLE})

set(CMAKE_C_COMPILER ${VELM_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VELM_TARGET_TRIPLE}-g++)
set(CMAKE_C_FLAGS_INIT "-march=armv5te -mtune=xscale")
set(CMAKE_CXX_FLAGS_INIT "-march=armv5te -mtune=xscale")

set(CMAKE_FIND_ROOT_PATH ${VELM_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Without binfmt_misc the host cannot run a target binary by itself, so everything that starts
# one (ctest, and the tests that start the daemon) puts this in front. An absolute path, as
# some of them do not search PATH; -L is where qemu finds the target's loader and libc.
find_program(VELM_EMULATOR_PROGRAM qemu-arm)
if(NOT VELM_EMULATOR_PROGRAM)
    set(VELM_EMULATOR_PROGRAM qemu-arm)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${VELM_EMULATOR_PROGRAM} -cpu pxa270 -L ${VELM_TARGET_SYSROOT})
