# The installed record header compiles as C99 (a false check is an array of negative size) and
# C11 (_Static_assert); on a layout not the wire's (packing defined away, the first member of
# each struct doubled) every layout check in it fails, by its name: the C99 form's array, or the
# text of the static assertion (quoted by GCC and clang 14, after ": " by clang 16).
#   cmake -DCC=COMPILER -DUNLIMITED=NO-ERROR-LIMIT-FLAG -DINCLUDE=DIR -DWORK=DIR -P THIS
file(STRINGS ${INCLUDE}/velmKortd/mgmt_event.h checks REGEX "^VELM_LAYOUT_CHECK\\(")
list(TRANSFORM checks REPLACE ".*, *([A-Za-z0-9]+)\\);$" "\\1")
file(WRITE ${WORK}/peer.c "#include <velmKortd/mgmt_event.h>\n")
foreach(standard c99 c11)
    set(cc ${CC} -std=${standard} -c ${WORK}/peer.c -o ${WORK}/peer.o -I${INCLUDE} ${UNLIMITED})
    execute_process(COMMAND ${cc} RESULT_VARIABLE status ERROR_VARIABLE errors)
    if(NOT status EQUAL 0 OR checks STREQUAL "")
        message(FATAL_ERROR "${standard}: no checks, or the header does not compile:\n${errors}")
    endif()
    execute_process(COMMAND ${cc} "-D__attribute__(x)=" "-DeventType=eventType[2]"
                            "-DbModeAutodetect=bModeAutodetect[2]" ERROR_VARIABLE errors)
    foreach(tag IN LISTS checks)
        if(NOT errors MATCHES "(velmLayoutCheck_|\"|: )${tag}[^A-Za-z0-9]")
            message(FATAL_ERROR "${standard}: the check '${tag}' passed a wrong layout:\n${errors}")
        endif()
    endforeach()
endforeach()
