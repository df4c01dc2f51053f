# Helpers of the Windows build: bootstrap flags, Windows tests, and the second
# copy of the bootstrap library that tests use to watch a few system calls.

# No exceptions, no RTTI, no thread-safe static guards: nothing of the C++
# runtime library may be needed at run time.
set(ONEFILE_BOOTSTRAP_FLAGS -fno-exceptions -fno-rtti -fno-threadsafe-statics)
# msvcrt's own printf family (not MinGW's replacement), Windows 10 declarations
# (the calls that older systems lack are looked up at run time).
set(ONEFILE_BOOTSTRAP_DEFINITIONS UNICODE _UNICODE WIN32_LEAN_AND_MEAN
    __USE_MINGW_ANSI_STDIO=0 _WIN32_WINNT=0x0A00 WINVER=0x0A00)

# onefile_windows_test(<target> SOURCES <files...> [LIBRARIES <libs...>] [TIMEOUT <s>])
# A GoogleTest executable that ctest runs under Wine, one ctest entry a TEST.
function(onefile_windows_test target)
    cmake_parse_arguments(arg "" "TIMEOUT" "SOURCES;LIBRARIES" ${ARGN})
    if(NOT arg_TIMEOUT)
        set(arg_TIMEOUT 120)
    endif()
    add_executable(${target} ${arg_SOURCES})
    target_link_libraries(${target} PRIVATE ${arg_LIBRARIES} onefile_test_support GTest::gtest_main)
    target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
    gtest_add_tests(TARGET ${target} SOURCES ${arg_SOURCES} TEST_LIST tests)
    set_tests_properties(${tests} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT ${arg_TIMEOUT})
endfunction()

# onefile_windows_program(<target> SOURCES <files...> [LIBRARIES <libs...>] [GUI])
# A helper program that Windows tests start (a probe around bootstrap operations).
function(onefile_windows_program target)
    cmake_parse_arguments(arg "GUI" "" "SOURCES;LIBRARIES" ${ARGN})
    add_executable(${target} ${arg_SOURCES})
    target_link_libraries(${target} PRIVATE ${arg_LIBRARIES})
    target_link_options(${target} PRIVATE -municode)
    if(arg_GUI)
        target_link_options(${target} PRIVATE -mwindows)
    endif()
    target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
endfunction()

# After every folder has added its sources: onefile_bootstrap_seams is the same
# code built with ONEFILE_SEAMS, where the few file-system and process calls
# that tests watch go through replaceable pointers. Production code has none.
function(onefile_finish_bootstrap_libraries)
    get_target_property(sources onefile_bootstrap SOURCES)
    add_library(onefile_bootstrap_seams STATIC ${sources})
    target_include_directories(onefile_bootstrap_seams PUBLIC ${CMAKE_SOURCE_DIR})
    target_compile_options(onefile_bootstrap_seams PRIVATE ${ONEFILE_BOOTSTRAP_FLAGS})
    target_compile_definitions(onefile_bootstrap_seams
        PUBLIC ${ONEFILE_BOOTSTRAP_DEFINITIONS} ONEFILE_SEAMS)
    target_link_libraries(onefile_bootstrap_seams PUBLIC onefile_zstd shell32)
endfunction()
