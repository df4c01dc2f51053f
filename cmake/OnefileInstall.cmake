# What `cmake --install` puts below its prefix, the same tree in both parts of
# the build: the host part's for Linux (and the Debian package that CPack
# makes of it), the Windows part's for Windows (the zip):
#   bin/onefile-pack (.exe)
#   include/onefile/      entry.h, which entry libraries define run_code with
#   lib/cmake/onefile/    the CMake package: onefileConfig.cmake, its version file,
#                         the packer's imported target, onefile_add_entry_library,
#                         onefile_add_executable and the MinGW-w64 toolchain file
#                         for consumers' Windows builds
#   share/doc/onefile/    the README
# The packer carries the bootstrap images and its resources (manifest, version
# strings, icon) inside itself: it needs nothing else at run time.
#
# The Windows tree goes into a zip of its own, onefile-<version>-win64.zip
# (`cpack -G ZIP` in the host build), in a folder of that name: what a
# Windows developer needs to pack, and to write and pack an entry library
# with MinGW-w64 or MSVC, laid out as an installation.
include(CMakePackageConfigHelpers)

install(TARGETS onefile-pack EXPORT onefileTargets RUNTIME DESTINATION ${ONEFILE_PROGRAM_SUBDIR})

set(ONEFILE_INCLUDE_SUBDIR include)
install(FILES ${CMAKE_SOURCE_DIR}/include/onefile/entry.h
    DESTINATION ${ONEFILE_INCLUDE_SUBDIR}/onefile)

set(package_dir ${CMAKE_BINARY_DIR}/package)
install(EXPORT onefileTargets NAMESPACE onefile:: DESTINATION ${ONEFILE_PACKAGE_SUBDIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/onefileConfig.cmake.in
    ${package_dir}/onefileConfig.cmake
    INSTALL_DESTINATION ${ONEFILE_PACKAGE_SUBDIR}
    PATH_VARS ONEFILE_INCLUDE_SUBDIR)
# Not tied to the consumer's architecture: what the packer makes is always a
# 64-bit Windows executable.
write_basic_package_version_file(${package_dir}/onefileConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion ARCH_INDEPENDENT)
install(FILES
    ${package_dir}/onefileConfig.cmake
    ${package_dir}/onefileConfigVersion.cmake
    ${CMAKE_SOURCE_DIR}/cmake/OnefilePack.cmake
    ${CMAKE_SOURCE_DIR}/cmake/mingw-w64.cmake
    DESTINATION ${ONEFILE_PACKAGE_SUBDIR})
file(GLOB license_files ${CMAKE_SOURCE_DIR}/LICENSE ${CMAKE_SOURCE_DIR}/LICENSE.*
    ${CMAKE_SOURCE_DIR}/COPYING)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${license_files} DESTINATION share/doc/onefile)

# The packages are made by the host build: the Windows tree is its Windows
# part's installation.
if(WIN32)
    return()
endif()

# The Debian package: `cpack -G DEB` in the build tree makes
# onefile_<version>_amd64.deb. dpkg-shlibdeps finds the shared libraries the
# packer needs (the zstd runtime among them); packing needs nothing else.
# A consumer's own Windows build needs a MinGW-w64 compiler for its entry
# library, which is that build's business.
set(ONEFILE_WIN64_PACKAGE onefile-${PROJECT_VERSION}-win64)
configure_file(${CMAKE_SOURCE_DIR}/cmake/CPackProject.cmake.in ${package_dir}/CPackProject.cmake
    @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${package_dir}/CPackProject.cmake)

set(CPACK_GENERATOR DEB ZIP)
set(CPACK_PACKAGE_NAME onefile)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR onefile)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "single-file application launcher for 64-bit Windows, and its packer")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "onefile-pack turns a folder (an entry DLL exporting run_code plus whatever\n"
    "it needs) into one GUI executable for 64-bit Windows, which unpacks the\n"
    "files into a fresh private temporary directory on each run, calls the\n"
    "entry library and removes the directory afterwards. The package holds the\n"
    "packer, which carries the bootstrap and needs no toolchain to pack, the\n"
    "header that entry libraries define run_code with, and a CMake package\n"
    "(find_package(onefile)) with onefile_add_entry_library and\n"
    "onefile_add_executable.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "onefile developers <dev@onefile.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS cmake)
include(CPack)
