# velm_link_without_cxx_runtime(TARGET): links TARGET (the daemon, the stand-in, the log pipe)
# with the C driver and no C++ runtime library at all, so that code needing one (operator new,
# a libc++ function behind a header, an unwinder) fails the link with an undefined reference
# instead of growing the binary by what the library brings. A macro: CMake names the C++
# compiler's libraries on a C-linked target's line by this variable, read per directory, so the
# whole calling directory gets none (each of those three has a directory of its own).
macro(velm_link_without_cxx_runtime target)
    set(CMAKE_CXX_IMPLICIT_LINK_LIBRARIES "")
    set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C)
    # A shared library may otherwise leave names to its loader. The sanitizers' runtimes are
    # the driver's to link, and that build is no measure of this.
    get_target_property(velm_type ${target} TYPE)
    if(velm_type STREQUAL "SHARED_LIBRARY" AND NOT VELM_SANITIZE)
        target_link_options(${target} PRIVATE "LINKER:-z,defs")
    endif()
endmacro()
