# x86-64 against musl, built by Zig's bundled clang and musl, dynamically linked against
# musl's loader (/lib/ld-musl-x86_64.so.1, Debian's `musl` package), so the programs run here
# without an emulator.
#
# musl is the C library of OpenWrt and of many Buildroot images, and it behaves differently
# from glibc where the daemon's interface shows it: standard output to a pipe or file is
# buffered in 1 KiB rather than 4 KiB, and its syslog sends an empty identity when the log
# was never opened. Debian ships no C++ compiler for musl; Zig is the one used here.
#
#   cmake -S . -B build-musl -G Ninja --toolchain cmake/toolchains/x86_64-linux-musl-zig.cmake \
#         -DVELM_ZIG=/path/to/zig
#
# scripts/test musl fetches the pinned Zig itself. Zig cannot build for the device (it crashes
# on ARM targets and cannot link big-endian ARM), so this serves the host only.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

if(NOT VELM_ZIG)
    set(VELM_ZIG "$ENV{VELM_ZIG}")
endif()
if(NOT VELM_ZIG)
    find_program(VELM_ZIG zig)
endif()
if(NOT VELM_ZIG)
    message(FATAL_ERROR
            "Zig not found: pass -DVELM_ZIG=/path/to/zig (scripts/test musl fetches it)")
endif()
# try_compile projects get the same compiler.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELM_ZIG)

# CMake wants one program per compiler: a wrapper each for `zig cc` and `zig c++`, through
# zig-musl-driver, which fixes the target and the dynamic link to musl's loader and takes the
# project's linker options in forms Zig accepts.
set(velm_zig_wrappers ${CMAKE_BINARY_DIR}/zig-wrappers)
foreach(driver cc c++)
    file(WRITE ${velm_zig_wrappers}/zig-${driver} "#!/bin/sh\nexec '${CMAKE_CURRENT_LIST_DIR}/\
zig-musl-driver' '${VELM_ZIG}' ${driver} \"$@\"\n")
    file(CHMOD ${velm_zig_wrappers}/zig-${driver} PERMISSIONS OWNER_READ OWNER_WRITE
         OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_C_COMPILER ${velm_zig_wrappers}/zig-cc)
set(CMAKE_CXX_COMPILER ${velm_zig_wrappers}/zig-c++)

# Nothing of the build machine's glibc world may be found for the target (its GoogleTest,
# Google Benchmark): GoogleTest is compiled from source instead, as for the other targets.
set(CMAKE_FIND_ROOT_PATH ${velm_zig_wrappers})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
