# The host half of the build: the packer, host tests, and the Windows cross
# build as an external project whose tests join this build's ctest run.
include(ExternalProject)

set(ONEFILE_STAGE_DIR ${CMAKE_BINARY_DIR})
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${ONEFILE_STAGE_DIR}/${ONEFILE_PROGRAM_SUBDIR})
set(ONEFILE_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix the tests use")

find_package(PkgConfig REQUIRED)
pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)
find_package(Threads REQUIRED)

# GoogleTest from Debian's sources, built with this build's flags.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest/googletest ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

add_compile_options(-Wall -Wextra)

set(ONEFILE_HOST_SUBDIRS archive packer tests bench)
foreach(dir IN LISTS ONEFILE_HOST_SUBDIRS)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
        add_subdirectory(${dir})
    endif()
endforeach()

set(ONEFILE_ZSTD_SOURCE_DIR ${CMAKE_SOURCE_DIR}/.deps/zstd CACHE PATH
    "zstd's source tree (from Debian's source package) for the Windows build")

set(onefile_packer_dependency)
if(TARGET onefile-pack)
    set(onefile_packer_dependency onefile-pack)
endif()

ExternalProject_Add(windows
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/windows
    CMAKE_ARGS
        -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-w64.cmake
        -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
        -DONEFILE_STAGE_DIR=${ONEFILE_STAGE_DIR}
        -DONEFILE_WINEPREFIX=${ONEFILE_WINEPREFIX}
        -DONEFILE_ZSTD_SOURCE_DIR=${ONEFILE_ZSTD_SOURCE_DIR}
        -DONEFILE_PACKER=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/onefile-pack
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    DEPENDS ${onefile_packer_dependency}
    USES_TERMINAL_BUILD ON)

# ctest in this build also runs the Windows build's tests.
file(WRITE ${CMAKE_BINARY_DIR}/windows-tests.cmake
    "subdirs(\"${CMAKE_BINARY_DIR}/windows\")\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_BINARY_DIR}/windows-tests.cmake)

# cmake --install and the Debian package.
include(OnefileInstall)
