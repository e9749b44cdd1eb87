# The device with Buildroot's own C library: big-endian XScale (ARMv5TE, BE32, EABI5, soft
# float) with uClibc-ng, built with the toolchain that toolchain/armeb-uclibc-toolchain makes
# from Debian packages (GCC 12), and run under qemu-armeb emulating a PXA270 with uClibc-ng's
# loader, /lib/ld-uClibc.so.0.
#
#   toolchain/armeb-uclibc-toolchain
#   cmake -S . -B build-armeb-uclibc -G Ninja --toolchain cmake/toolchains/armeb-linux-uclibcgnueabi.cmake
#
# A Buildroot SDK with uClibc-ng goes through armeb-xscale-linux.cmake.example instead; what it
# needs from this file is the --disable-new-dtags below.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv5te)

set(VELM_ARMEB_TOOLCHAIN "" CACHE PATH "The toolchain toolchain/armeb-uclibc-toolchain made")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELM_ARMEB_TOOLCHAIN)
if(NOT VELM_ARMEB_TOOLCHAIN)
    execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../../toolchain/armeb-uclibc-toolchain --dir
                    OUTPUT_VARIABLE VELM_ARMEB_TOOLCHAIN OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
set(VELM_TARGET_TRIPLE armeb-linux-uclibcgnueabi)
if(NOT EXISTS ${VELM_ARMEB_TOOLCHAIN}/bin/${VELM_TARGET_TRIPLE}-gcc)
    message(FATAL_ERROR
        "no armeb uClibc-ng toolchain in '${VELM_ARMEB_TOOLCHAIN}': run toolchain/armeb-uclibc-toolchain")
endif()
set(VELM_TARGET_SYSROOT ${VELM_ARMEB_TOOLCHAIN}/sysroot)

set(CMAKE_C_COMPILER ${VELM_ARMEB_TOOLCHAIN}/bin/${VELM_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VELM_ARMEB_TOOLCHAIN}/bin/${VELM_TARGET_TRIPLE}-g++)
# GCC 12 finds a member of libc++ 14's <regex> (__state::__at_first_) maybe uninitialized
# where the library always sets it first: shown, but not an error under -Werror.
set(CMAKE_CXX_FLAGS_INIT -Wno-error=maybe-uninitialized)
foreach(tool ar ranlib nm objcopy objdump readelf strip)
    string(TOUPPER ${tool} var)
    set(CMAKE_${var} ${VELM_ARMEB_TOOLCHAIN}/bin/${VELM_TARGET_TRIPLE}-${tool})
endforeach()

# uClibc-ng's loader expands $ORIGIN only in DT_RPATH, not in the DT_RUNPATH that Debian's ld
# makes by default: the build tree's $ORIGIN paths need the old tag.
foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT -Wl,--disable-new-dtags)
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
