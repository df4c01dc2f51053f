# onefile_add_entry_library(<name> <source>...)
#
# Makes <name>.dll, the entry library of a package: a DLL for 64-bit Windows
# from C or C++ sources that define run_code with <onefile/entry.h>, which
# the target finds on its include path. Its compiler's runtimes are built
# into it (MinGW: -static -static-libgcc -static-libstdc++; MSVC: the static
# runtime), so that it needs no DLLs but the system's: a DLL built with
# MinGW's defaults imports libstdc++-6.dll, libgcc_s_seh-1.dll and
# libwinpthread-1.dll, which no Windows has. The file has no "lib" prefix;
# OUTPUT_NAME and other properties may be set on the target afterwards.
#
# The header is the target onefile::entry, which this project's Windows
# build and the installed package (find_package(onefile)) both provide.
function(onefile_add_entry_library name)
    if(NOT ARGN)
        message(FATAL_ERROR "onefile_add_entry_library(${name}): no sources")
    endif()
    if(NOT WIN32 OR NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
        message(FATAL_ERROR "onefile_add_entry_library(${name}): an entry library is a DLL for "
            "64-bit Windows; configure with a toolchain for it, such as "
            "-DCMAKE_TOOLCHAIN_FILE=${CMAKE_CURRENT_FUNCTION_LIST_DIR}/mingw-w64.cmake")
    endif()
    if(NOT TARGET onefile::entry)
        message(FATAL_ERROR "onefile_add_entry_library(${name}): there is no target "
            "onefile::entry; find_package(onefile CONFIG REQUIRED) provides it")
    endif()
    add_library(${name} SHARED ${ARGN})
    target_link_libraries(${name} PRIVATE onefile::entry)
    set_target_properties(${name} PROPERTIES PREFIX "")
    if(MSVC)
        set_target_properties(${name} PROPERTIES
            MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
    else()
        target_link_options(${name} PRIVATE -static -static-libgcc -static-libstdc++)
    endif()
endfunction()

# onefile_add_executable(<name> ENTRY <dll target or file>
#                        [FILES <source file or target>=<archive path> ...]
#                        [DIRECTORY <dir>] [LEVEL <n>] [THREADS <n>] [WINDOW_LOG <n>]
#                        [COMPANY <text>] [PRODUCT <text>] [VERSION <A.B.C.D>]
#                        [ICON <image file>] [TARGET_DIR <spec>] [CACHE] [KEEP_OTHER_VERSIONS]
#                        [PROGRESS_WINDOW] [CONSOLE] [ERROR_DIALOG]
#                        [ALLOW_MISSING <library> ...] [NO_ENTRY_CHECK])
#
# Makes <build>/bin/<name>.exe with onefile-pack: the bootstrap with a staged
# tree packed into it. The tree holds the contents of DIRECTORY, then each
# FILES source under its archive path ("/" separated, relative), then the
# entry library at the top under its own file name. The executable is made
# again when any input or the packer (which carries the bootstrap) changes.
# The other keywords are the packer's options of the same name in lower case
# with "-" for "_" (LEVEL 3 is --level 3, CONSOLE is --console, ALLOW_MISSING
# a.dll b.dll is --allow-missing a.dll --allow-missing b.dll; see onefile-pack
# build --help for their defaults).
#
# The packer is the target onefile::onefile-pack. This project's Windows build
# makes it stand for its own; the installed package (find_package(onefile))
# for the installed one. This file is installed as it is, so a new keyword
# reaches both at once.
function(onefile_add_executable name)
    # The packer's options: those taking a value, those taking a file (which
    # the executable then depends on), flags, and those given once a value.
    set(value_options LEVEL THREADS WINDOW_LOG COMPANY PRODUCT VERSION TARGET_DIR)
    set(file_options ICON)
    set(flag_options "NO_ENTRY_CHECK;CACHE;KEEP_OTHER_VERSIONS;PROGRESS_WINDOW;CONSOLE;ERROR_DIALOG")
    set(list_options ALLOW_MISSING)
    cmake_parse_arguments(arg "${flag_options}" "ENTRY;DIRECTORY;${value_options};${file_options}"
        "FILES;${list_options}" ${ARGN})
    if(NOT arg_ENTRY)
        message(FATAL_ERROR "onefile_add_executable(${name}): ENTRY is required")
    endif()
    if(arg_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "onefile_add_executable(${name}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
    endif()

    set(stage ${CMAKE_CURRENT_BINARY_DIR}/${name}.onefile)
    set(output_dir ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
    if(NOT output_dir)
        set(output_dir ${CMAKE_BINARY_DIR}/bin)
    endif()
    set(output ${output_dir}/${name}.exe)
    if(NOT TARGET onefile::onefile-pack)
        message(FATAL_ERROR "onefile_add_executable(${name}): there is no target "
            "onefile::onefile-pack; find_package(onefile CONFIG REQUIRED) provides it")
    endif()
    # The packer's file itself: an imported target alone would not make the
    # executable again when the packer, and with it the bootstrap, changes.
    set(depends onefile::onefile-pack $<TARGET_FILE:onefile::onefile-pack>)

    if(TARGET ${arg_ENTRY})
        set(entry_file $<TARGET_FILE:${arg_ENTRY}>)
        set(entry_name $<TARGET_FILE_NAME:${arg_ENTRY}>)
        list(APPEND depends ${arg_ENTRY})
    else()
        get_filename_component(entry_file ${arg_ENTRY} ABSOLUTE)
        get_filename_component(entry_name ${arg_ENTRY} NAME)
        list(APPEND depends ${entry_file})
    endif()

    # The staging script: a fresh tree each time, so removed inputs go too.
    set(script "file(REMOVE_RECURSE \"${stage}\")\nfile(MAKE_DIRECTORY \"${stage}\")\n")
    if(arg_DIRECTORY)
        get_filename_component(directory ${arg_DIRECTORY} ABSOLUTE)
        file(GLOB_RECURSE directory_files CONFIGURE_DEPENDS ${directory}/*)
        list(APPEND depends ${directory_files})
        string(APPEND script "file(COPY \"${directory}/\" DESTINATION \"${stage}\")\n")
    endif()
    foreach(pair IN LISTS arg_FILES)
        string(FIND "${pair}" "=" at)
        if(at LESS 1)
            message(FATAL_ERROR "onefile_add_executable(${name}): FILES takes <source>=<archive path>, not ${pair}")
        endif()
        string(SUBSTRING "${pair}" 0 ${at} source)
        math(EXPR after "${at} + 1")
        string(SUBSTRING "${pair}" ${after} -1 archive_path)
        if(TARGET ${source})
            list(APPEND depends ${source})
            set(source $<TARGET_FILE:${source}>)
        else()
            get_filename_component(source ${source} ABSOLUTE)
            list(APPEND depends ${source})
        endif()
        string(APPEND script "configure_file(\"${source}\" \"${stage}/${archive_path}\" COPYONLY)\n")
    endforeach()
    string(APPEND script "configure_file(\"${entry_file}\" \"${stage}/${entry_name}\" COPYONLY)\n")
    set(script_file ${CMAKE_CURRENT_BINARY_DIR}/${name}.onefile-stage-$<CONFIG>.cmake)
    file(GENERATE OUTPUT ${script_file} CONTENT "${script}")

    set(options --quiet)
    foreach(option IN LISTS value_options file_options flag_options list_options)
        string(TOLOWER ${option} flag)
        string(REPLACE "_" "-" flag --${flag})
        if(option IN_LIST list_options)
            foreach(value IN LISTS arg_${option})
                list(APPEND options ${flag} "${value}")
            endforeach()
        elseif(option IN_LIST flag_options)
            if(arg_${option})
                list(APPEND options ${flag})
            endif()
        elseif(DEFINED arg_${option})
            set(value "${arg_${option}}")
            if(option IN_LIST file_options)
                get_filename_component(value ${value} ABSOLUTE)
                list(APPEND depends ${value})
            endif()
            list(APPEND options ${flag} "${value}")
        endif()
    endforeach()
    add_custom_command(
        OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -P ${script_file}
        # Nothing else may have made the output's folder yet.
        COMMAND ${CMAKE_COMMAND} -E make_directory ${output_dir}
        COMMAND $<TARGET_FILE:onefile::onefile-pack> build ${stage} --entry ${entry_name}
                --output ${output} ${options}
        DEPENDS ${depends}
        COMMENT "Packing ${name}.exe"
        VERBATIM)
    add_custom_target(${name} ALL DEPENDS ${output})
endfunction()
