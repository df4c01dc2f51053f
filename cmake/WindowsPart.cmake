# The Windows half of the build (MinGW-w64 cross build): the bootstrap as a
# static library and the two bootstrap images linked from it (the target
# bootstrap_images, which the host build builds first and embeds into the
# packer), zstd, GoogleTest, the packer for Windows (onefile-pack.exe), the
# examples and the Windows tests, which ctest runs under Wine.
set(ONEFILE_STAGE_DIR ${CMAKE_BINARY_DIR} CACHE PATH "Where the host build puts the packer")
set(ONEFILE_BOOTSTRAP_IMAGES_DIR ${CMAKE_BINARY_DIR}/bootstrap-images CACHE PATH
    "Where the bootstrap images go, for the packer to embed")
set(ONEFILE_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix the tests use")
set(ONEFILE_ZSTD_SOURCE_DIR ${CMAKE_SOURCE_DIR}/.deps/zstd CACHE PATH "zstd's source tree")
set(ONEFILE_PACKER ${ONEFILE_STAGE_DIR}/${ONEFILE_PROGRAM_SUBDIR}/onefile-pack CACHE FILEPATH "The host packer")
set(ONEFILE_HOST_BINARY_DIR ${ONEFILE_STAGE_DIR} CACHE PATH
    "The host build, whose generated sources the Windows packer shares")
# The Windows packer carries its manifest and version as resources.
enable_language(RC)

set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# Windows programs run under Wine through the build's own prefix.
configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                     WORLD_READ WORLD_EXECUTE)
set(ONEFILE_WINE_RUN ${CMAKE_BINARY_DIR}/wine-run)
# ctest runs the Windows tests through files (see scripts/wine-test).
configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-test.in ${CMAKE_BINARY_DIR}/wine-test @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                     WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-test)

# Everything Windows-side links statically: the programs depend on system DLLs only.
add_link_options(-static -static-libgcc -static-libstdc++)
add_compile_options(-Wall -Wextra)

include(ZstdWindows)
include(GTestWindows)
include(OnefileWindows)
include(OnefilePack)

# The bootstrap: C++ without exceptions, RTTI or any C++ runtime library.
add_library(onefile_bootstrap STATIC)
target_include_directories(onefile_bootstrap PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(onefile_bootstrap PRIVATE ${ONEFILE_BOOTSTRAP_FLAGS})
target_compile_definitions(onefile_bootstrap PUBLIC ${ONEFILE_BOOTSTRAP_DEFINITIONS})
target_link_libraries(onefile_bootstrap PUBLIC onefile_zstd shell32)

# The name onefile_add_executable packs with, here standing for this build's
# own packer (the installed package gives it the installed one).
add_executable(onefile::onefile-pack IMPORTED)
set_target_properties(onefile::onefile-pack PROPERTIES IMPORTED_LOCATION ${ONEFILE_PACKER})
# The header that entry libraries define run_code with, onefile/entry.h.
add_library(onefile_entry INTERFACE)
target_include_directories(onefile_entry INTERFACE ${CMAKE_SOURCE_DIR}/include)
add_library(onefile::entry ALIAS onefile_entry)

# Tests run first a fixture that holds one wineserver for the whole run.
add_test(NAME wine-start COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-server start)
add_test(NAME wine-stop COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-server stop)
set_tests_properties(wine-start PROPERTIES FIXTURES_SETUP wine ENVIRONMENT WINEPREFIX=${ONEFILE_WINEPREFIX})
set_tests_properties(wine-stop PROPERTIES FIXTURES_CLEANUP wine ENVIRONMENT WINEPREFIX=${ONEFILE_WINEPREFIX})

set(ONEFILE_WINDOWS_SUBDIRS base errors bootstrap archive paths extract launch cleanup progress images
    packer examples tests resources bench)
foreach(dir IN LISTS ONEFILE_WINDOWS_SUBDIRS)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
        add_subdirectory(${dir})
    endif()
endforeach()

onefile_finish_bootstrap_libraries()

# The installation for Windows, which the host build zips.
include(OnefileInstall)
