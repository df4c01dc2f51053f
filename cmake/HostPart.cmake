# The host half of the build: the packer, host tests, and the Windows cross
# build as an external project whose tests join this build's ctest run.
include(ExternalProject)

set(ONEFILE_STAGE_DIR ${CMAKE_BINARY_DIR})
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${ONEFILE_STAGE_DIR}/${ONEFILE_PROGRAM_SUBDIR})
set(ONEFILE_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix the tests use")
# The bootstrap images that the Windows part links and the packer embeds.
set(ONEFILE_BOOTSTRAP_IMAGES_DIR ${CMAKE_BINARY_DIR}/bootstrap-images)
set(ONEFILE_BOOTSTRAP_IMAGES ${ONEFILE_BOOTSTRAP_IMAGES_DIR}/onefile-gui.exe
    ${ONEFILE_BOOTSTRAP_IMAGES_DIR}/onefile-console.exe)

find_package(PkgConfig REQUIRED)
pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)
find_package(Threads REQUIRED)

# GoogleTest from Debian's sources, built with this build's flags.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest/googletest ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

add_compile_options(-Wall -Wextra)

include(OnefileFuzz)

set(ONEFILE_HOST_SUBDIRS archive packer fuzz tests bench)
foreach(dir IN LISTS ONEFILE_HOST_SUBDIRS)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
        add_subdirectory(${dir})
    endif()
endforeach()
onefile_write_fuzz_manifest()

set(ONEFILE_ZSTD_SOURCE_DIR ${CMAKE_SOURCE_DIR}/.deps/zstd CACHE PATH
    "zstd's source tree (from Debian's source package) for the Windows build")

# The Windows part in two steps of one cross build: its build step makes the
# bootstrap images alone, which the packer embeds (packer/CMakeLists.txt);
# the step after it, once the packer is there, builds the rest, which packs
# the examples and the test applications with it.
if(CMAKE_GENERATOR MATCHES "Make")
    # A sub-make that shares this make's jobs.
    set(windows_build $(MAKE))
else()
    set(windows_build ${CMAKE_COMMAND} --build <BINARY_DIR> --)
endif()
ExternalProject_Add(windows
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/windows
    CMAKE_ARGS
        -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-w64.cmake
        -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
        -DONEFILE_STAGE_DIR=${ONEFILE_STAGE_DIR}
        -DONEFILE_BOOTSTRAP_IMAGES_DIR=${ONEFILE_BOOTSTRAP_IMAGES_DIR}
        -DONEFILE_WINEPREFIX=${ONEFILE_WINEPREFIX}
        -DONEFILE_ZSTD_SOURCE_DIR=${ONEFILE_ZSTD_SOURCE_DIR}
        -DONEFILE_PACKER=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/onefile-pack
        -DONEFILE_HOST_BINARY_DIR=${CMAKE_BINARY_DIR}
    BUILD_COMMAND ${windows_build} bootstrap_images
    BUILD_BYPRODUCTS ${ONEFILE_BOOTSTRAP_IMAGES}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    STEP_TARGETS build
    USES_TERMINAL_BUILD ON)
ExternalProject_Add_Step(windows rest
    COMMAND ${windows_build}
    WORKING_DIRECTORY <BINARY_DIR>
    DEPENDEES build
    DEPENDERS install
    ALWAYS ON
    USES_TERMINAL ON)
if(TARGET onefile-pack)
    ExternalProject_Add_StepDependencies(windows rest onefile-pack)
    add_dependencies(onefile_pack_core windows-build)
endif()
# ctest in this build also runs the Windows build's tests.
file(WRITE ${CMAKE_BINARY_DIR}/windows-tests.cmake
    "subdirs(\"${CMAKE_BINARY_DIR}/windows\")\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${CMAKE_BINARY_DIR}/windows-tests.cmake)

# cmake --install and the Debian package.
include(OnefileInstall)
