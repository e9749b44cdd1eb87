# What the tests know of the target's C library, each fact stated here once per library, read
# by CMake (VELM_LIBC_*) and, through the interface library velm_libc_facts, by the test
# programs (the same names as compile definitions). The daemon itself depends on none of it.
#
# The library is asked of the target's compiler. uClibc-ng also defines __GLIBC__ (it calls
# itself glibc 2.2), so it is asked for first; whatever is neither is taken for musl.
include(CheckSymbolExists)
check_symbol_exists(__UCLIBC__ "stdlib.h" VELM_TARGET_IS_UCLIBC)
if(NOT VELM_TARGET_IS_UCLIBC)
    check_symbol_exists(__GLIBC__ "stdlib.h" VELM_TARGET_IS_GLIBC)
endif()

# VELM_LIBC_SONAME          the name the daemon's NEEDED entry gives the C library
# VELM_LIBC_SYSLOG_IDENT    the identity syslog() sends for a program that never opened the log
# VELM_LIBC_LOG_END         what ends each entry sent to /dev/log (a C string literal's body)
# VELM_LIBC_FIRST_LINE_OUT  standard output to a file is fully buffered, but only from its first
#                           write on: that first line goes out at once (the library learns there
#                           that the output is no terminal); otherwise decided at start-up
# VELM_LIBC_OWN_EXPORTS     a regular expression for the names the C library's start files
#                           make the executable export (empty: none)
if(VELM_TARGET_IS_UCLIBC)
    set(VELM_LIBC uclibc)
    set(VELM_LIBC_SONAME libc.so.0)
    set(VELM_LIBC_SYSLOG_IDENT syslog)
    set(VELM_LIBC_LOG_END "\\0")
    set(VELM_LIBC_FIRST_LINE_OUT 0)
    set(VELM_LIBC_OWN_EXPORTS "")
elseif(VELM_TARGET_IS_GLIBC)
    set(VELM_LIBC glibc)
    set(VELM_LIBC_SONAME libc.so.6)
    set(VELM_LIBC_SYSLOG_IDENT velmKortd)
    set(VELM_LIBC_LOG_END "")
    set(VELM_LIBC_FIRST_LINE_OUT 0)
    set(VELM_LIBC_OWN_EXPORTS "")
else()
    set(VELM_LIBC musl)
    set(VELM_LIBC_SONAME libc.so)
    set(VELM_LIBC_SYSLOG_IDENT "")
    set(VELM_LIBC_LOG_END "\\n")
    set(VELM_LIBC_FIRST_LINE_OUT 1)
    # musl's crti.o defines them global.
    set(VELM_LIBC_OWN_EXPORTS "^_(init|fini)$")
endif()
message(STATUS "The target's C library: ${VELM_LIBC}")

# A daemon built against another C library than the one detected (a firmware SDK's) sends
# its identity: set this to it (empty included).
set(VELM_SYSLOG_IDENT "${VELM_LIBC_SYSLOG_IDENT}" CACHE STRING
    "Identity expected in the daemon's system log entries (empty: none, as musl sends)")

string(TOUPPER ${VELM_LIBC} velm_libc_upper)
add_library(velm_libc_facts INTERFACE)
target_compile_definitions(velm_libc_facts INTERFACE
    "VELM_LIBC_${velm_libc_upper}=1"
    "VELM_SYSLOG_IDENT=\"${VELM_SYSLOG_IDENT}\""
    "VELM_LIBC_LOG_END=\"${VELM_LIBC_LOG_END}\""
    "VELM_LIBC_FIRST_LINE_OUT=${VELM_LIBC_FIRST_LINE_OUT}")
