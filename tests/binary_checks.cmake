# Fails unless the executable FILE exports, as NM reads its dynamic symbol table, every name in
# EXPECTED (comma-separated) and, when EXACT is true, nothing else of its own. Run by ctest:
#   cmake -DNM=... -DFILE=... -DEXPECTED=a,b -DEXACT=ON [-DTOLERATED=regex] -P binary_checks.cmake
#
# Versioned names (stdout@GLIBC_2.2.5) are a library's data copied into the executable by the
# linker, not exports of the daemon's own, so they never count. TOLERATED names a few more
# that a build adds by itself (the sanitizers' runtime flags).
cmake_minimum_required(VERSION 3.20)
string(REPLACE "," ";" EXPECTED "${EXPECTED}")

execute_process(COMMAND ${NM} -D --defined-only ${FILE}
                OUTPUT_VARIABLE table RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} -D --defined-only ${FILE} failed: ${errors}")
endif()

string(REPLACE "\n" ";" lines "${table}")
set(exported "")
foreach(line IN LISTS lines)
    if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] ([^ ]+)$")
        set(name ${CMAKE_MATCH_1})
        if(NOT name MATCHES "@")
            list(APPEND exported ${name})
        endif()
    endif()
endforeach()

set(missing "")
foreach(name IN LISTS EXPECTED)
    if(NOT name IN_LIST exported)
        list(APPEND missing ${name})
    endif()
endforeach()
if(missing)
    message(FATAL_ERROR "${FILE} does not export [${missing}]; it exports [${exported}]")
endif()

set(extra ${exported})
list(REMOVE_ITEM extra ${EXPECTED})
if(DEFINED TOLERATED AND NOT TOLERATED STREQUAL "")
    list(FILTER extra EXCLUDE REGEX "${TOLERATED}")
endif()
if(EXACT AND extra)
    message(FATAL_ERROR "${FILE} exports [${extra}] beyond [${EXPECTED}]")
endif()
if(extra)
    message(STATUS "${FILE} also exports, as this target's ABI requires: [${extra}]")
endif()
message(STATUS "${FILE} exports [${EXPECTED}]")
