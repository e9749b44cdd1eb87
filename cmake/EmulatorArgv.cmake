# Tests that start a target program themselves get the emulator as the leading elements of a
# C array of strings (VELM_EMULATOR_ARGV), so a cross build starts the program the way ctest
# starts the test itself. Natively it is empty.
set(VELM_EMULATOR_ARGV "")
foreach(arg IN LISTS CMAKE_CROSSCOMPILING_EMULATOR)
    string(APPEND VELM_EMULATOR_ARGV "\"${arg}\",")
endforeach()
