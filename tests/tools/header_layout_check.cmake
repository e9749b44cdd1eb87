# The installed record header's layout checks can fail: in C99 (a negative array size) and C11
# (_Static_assert) the header compiles as it is, and on a layout that is not the wire's (packing
# defined away, the first member of each struct doubled) every one of its checks fails by name.
#   cmake -DCC=COMPILER -DCC_ID=GNU|Clang -DINCLUDE=DIR -DWORK=DIR -P header_layout_check.cmake
set(tags objectSize eventSize eventType ifObject bModeAutodetect connectionMode syncRateUp
         syncRateDown vpi vci mux dbMac mbMac mbBroadcastMac bWanTimedOut wanIp wanNetmask
         wanGateway bWanStaticDns wanDns1 wanDns2 wanMtu bWanStaticIp bDialOnDemand username
         password idleTimeout)
file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/peer.c "#include <velmKortd/mgmt_event.h>\n")
# Every error, not the first twenty.
set(unlimited -fmax-errors=0)
if(CC_ID MATCHES "Clang")
    set(unlimited -ferror-limit=0)
endif()
foreach(standard c99 c11)
    set(compile ${CC} -std=${standard} -fsyntax-only -I${INCLUDE} ${WORK}/peer.c)
    execute_process(COMMAND ${compile} RESULT_VARIABLE status ERROR_VARIABLE errors)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${standard}: the header does not compile as it is:\n${errors}")
    endif()
    execute_process(COMMAND ${compile} ${unlimited} "-D__attribute__(x)="
                            "-DbModeAutodetect=bModeAutodetect[2]" "-DeventType=eventType[2]"
                    RESULT_VARIABLE status ERROR_VARIABLE errors)
    if(status EQUAL 0)
        message(FATAL_ERROR "${standard}: a wrong layout compiled")
    endif()
    foreach(tag IN LISTS tags)
        # As the C99 form names its array, and as a failed static assertion quotes its text.
        if(NOT errors MATCHES "velmLayoutCheck_${tag}[^A-Za-z]|\"${tag}\"")
            message(FATAL_ERROR "${standard}: the check '${tag}' passed a wrong layout:\n${errors}")
        endif()
    endforeach()
endforeach()
