# The device itself: big-endian XScale (ARMv5TE, BE32, EABI5, soft float) with musl, built
# with the toolchain that scripts/armeb-toolchain makes from Debian packages, and run under
# qemu-armeb emulating a PXA270 (an XScale core) with that toolchain's musl loader.
#
#   scripts/armeb-toolchain
#   cmake -S . -B build-armeb -G Ninja --toolchain cmake/toolchains/armeb-linux-musleabi.cmake
#
# VELM_ARMEB_COMPILER picks the compiler: gcc (Debian's arm-linux-gnueabi-gcc 12, -mbig-endian;
# the default) or clang (clang 14). A device SDK's own toolchain (Buildroot's, OpenWrt's) goes
# through armeb-xscale-linux.cmake.example instead.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv5te)

set(VELM_ARMEB_TOOLCHAIN "" CACHE PATH "The toolchain scripts/armeb-toolchain made")
set(VELM_ARMEB_COMPILER gcc CACHE STRING "gcc (GCC 12) or clang (clang 14)")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELM_ARMEB_TOOLCHAIN VELM_ARMEB_COMPILER)
if(NOT VELM_ARMEB_TOOLCHAIN)
    execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../../scripts/armeb-toolchain --dir
                    OUTPUT_VARIABLE VELM_ARMEB_TOOLCHAIN OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
if(NOT EXISTS ${VELM_ARMEB_TOOLCHAIN}/bin/armeb-linux-musleabi-gcc)
    message(FATAL_ERROR "no armeb toolchain in '${VELM_ARMEB_TOOLCHAIN}': run scripts/armeb-toolchain")
endif()
set(VELM_TARGET_TRIPLE armeb-linux-musleabi)
set(VELM_TARGET_SYSROOT ${VELM_ARMEB_TOOLCHAIN}/sysroot)

if(VELM_ARMEB_COMPILER STREQUAL "clang")
    set(CMAKE_C_COMPILER ${VELM_ARMEB_TOOLCHAIN}/bin/${VELM_TARGET_TRIPLE}-clang)
    set(CMAKE_CXX_COMPILER ${VELM_ARMEB_TOOLCHAIN}/bin/${VELM_TARGET_TRIPLE}-clang++)
else()
    set(CMAKE_C_COMPILER ${VELM_ARMEB_TOOLCHAIN}/bin/${VELM_TARGET_TRIPLE}-gcc)
    set(CMAKE_CXX_COMPILER ${VELM_ARMEB_TOOLCHAIN}/bin/${VELM_TARGET_TRIPLE}-g++)
    # GCC 12 finds a member of libc++ 14's <regex> (__state::__at_first_) maybe uninitialized
    # where the library always sets it first: shown, but not an error under -Werror.
    set(CMAKE_CXX_FLAGS_INIT -Wno-error=maybe-uninitialized)
endif()
foreach(tool ar ranlib nm objcopy objdump readelf strip)
    string(TOUPPER ${tool} var)
    set(CMAKE_${var} ${VELM_ARMEB_TOOLCHAIN}/bin/${VELM_TARGET_TRIPLE}-${tool})
endforeach()

set(CMAKE_FIND_ROOT_PATH ${VELM_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No binfmt_misc here: whatever starts a target program puts this in front (an absolute path,
# as some of them do not search PATH).
find_program(VELM_EMULATOR_PROGRAM qemu-armeb)
if(NOT VELM_EMULATOR_PROGRAM)
    set(VELM_EMULATOR_PROGRAM qemu-armeb)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${VELM_EMULATOR_PROGRAM} -cpu pxa270 -L ${VELM_TARGET_SYSROOT})
