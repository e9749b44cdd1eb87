# Native builds use the distribution's GoogleTest; cross builds compile it from the
# distribution's sources for the target.
if(NOT CMAKE_CROSSCOMPILING)
    find_package(GTest CONFIG QUIET)
endif()
if(NOT TARGET GTest::gtest_main)
    set(VELM_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources")
    # Said in one line here rather than as the cascade of errors that the lines below would
    # give. (A leading blank keeps CMake from wrapping it.)
    if(NOT EXISTS ${VELM_GTEST_SOURCE_DIR}/CMakeLists.txt)
        set(velm_gtest_hint "GoogleTest not found: install libgtest-dev (Debian)")
        if(CMAKE_CROSSCOMPILING)
            set(velm_gtest_hint "no GoogleTest sources in ${VELM_GTEST_SOURCE_DIR}: install "
                                "googletest (Debian) or set VELM_GTEST_SOURCE_DIR")
        endif()
        string(CONCAT velm_gtest_hint ${velm_gtest_hint})
        message(FATAL_ERROR " ${velm_gtest_hint}, or configure with -DBUILD_TESTING=OFF")
    endif()
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    # GoogleTest's own sources are not written to the project's warning set (-Wundef alone
    # stops them); they keep every other global option, the sanitizers' included.
    get_directory_property(velm_saved_options COMPILE_OPTIONS)
    set(velm_gtest_options ${velm_saved_options})
    list(FILTER velm_gtest_options EXCLUDE REGEX "^-W")
    set_directory_properties(PROPERTIES COMPILE_OPTIONS "${velm_gtest_options}")
    add_subdirectory(${VELM_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
    set_directory_properties(PROPERTIES COMPILE_OPTIONS "${velm_saved_options}")
    if(NOT TARGET GTest::gtest_main)
        add_library(GTest::gtest ALIAS gtest)
        add_library(GTest::gtest_main ALIAS gtest_main)
    endif()
endif()
include(GoogleTest)
