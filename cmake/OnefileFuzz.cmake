# Fuzz targets: libFuzzer programs built with clang beside the project's own
# (g++) build, with the address and undefined-behaviour sanitizers, a report
# of the latter as fatal as one of the former. Only where clang with
# libFuzzer works (scripts/setup installs it); elsewhere no fuzz target is
# built and no fuzz test registered.
#
# Each target's test runs it over its seeds for a fixed number of inputs
# from a fixed seed (scripts/fuzz --runs), so that it passes or fails alike
# every time; scripts/fuzz SECONDS fuzzes every target for that long.
# build/fuzz/targets lists the targets for scripts/fuzz, one a line: the
# name, the program, the runs of its test, then its seeds (folders or files).
find_program(ONEFILE_CLANGXX NAMES clang++ clang++-14)
set(ONEFILE_FUZZ_FLAGS -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=undefined)
if(ONEFILE_CLANGXX AND NOT DEFINED ONEFILE_LIBFUZZER_WORKS)
    set(probe_dir ${CMAKE_BINARY_DIR}/CMakeFiles/libfuzzer-probe)
    file(WRITE ${probe_dir}/probe.cpp
        "#include <cstddef>\n#include <cstdint>\nextern \"C\" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }\n")
    execute_process(COMMAND ${ONEFILE_CLANGXX} -std=c++17 ${ONEFILE_FUZZ_FLAGS}
            -fsanitize=fuzzer probe.cpp -o probe
        WORKING_DIRECTORY ${probe_dir} RESULT_VARIABLE probe_result OUTPUT_QUIET ERROR_QUIET)
    if(probe_result EQUAL 0)
        set(ONEFILE_LIBFUZZER_WORKS ON CACHE BOOL "clang's libFuzzer builds fuzz targets")
    else()
        set(ONEFILE_LIBFUZZER_WORKS OFF CACHE BOOL "clang's libFuzzer builds fuzz targets")
    endif()
endif()
set(ONEFILE_FUZZ_DIR ${CMAKE_BINARY_DIR}/fuzz)
# Every target's programs and tests wait for this one.
if(ONEFILE_LIBFUZZER_WORKS)
    add_custom_target(onefile_fuzz_targets ALL)
endif()

# onefile_fuzz_objects(<variable> SOURCES <sources>... [INCLUDES <folders>...]
#                      [FOLDER <name>])
# Compiles each source with clang for the fuzz targets (coverage taken, not
# linked with libFuzzer's main), into objects below this directory's build
# folder (in FOLDER there, for sources that several targets compile), and
# sets <variable> to them. Sources ending in .c are C.
#
# An object, like any output of a custom command, must belong to one target
# of its directory alone, or two makes could write it at once: objects that
# several targets share go into an archive made in another directory.
function(onefile_fuzz_objects variable)
    cmake_parse_arguments(arg "" "FOLDER" "SOURCES;INCLUDES" ${ARGN})
    set(includes)
    foreach(folder IN LISTS arg_INCLUDES)
        list(APPEND includes -I${folder})
    endforeach()
    set(objects)
    foreach(source IN LISTS arg_SOURCES)
        get_filename_component(source ${source} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
        string(FIND ${source} ${CMAKE_BINARY_DIR}/ in_build)
        if(in_build EQUAL 0)
            file(RELATIVE_PATH relative ${CMAKE_BINARY_DIR} ${source})
            set(relative generated/${relative})
        else()
            file(RELATIVE_PATH relative ${CMAKE_SOURCE_DIR} ${source})
        endif()
        set(object ${CMAKE_CURRENT_BINARY_DIR}/fuzz-objects/${relative}.o)
        if(arg_FOLDER)
            set(object ${CMAKE_CURRENT_BINARY_DIR}/fuzz-objects/${arg_FOLDER}/${relative}.o)
        endif()
        get_filename_component(object_dir ${object} DIRECTORY)
        if(source MATCHES "\\.c$")
            set(language -x c -std=c11)
        else()
            set(language -std=c++17)
        endif()
        add_custom_command(OUTPUT ${object}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${object_dir}
            COMMAND ${ONEFILE_CLANGXX} ${language} ${ONEFILE_FUZZ_FLAGS} -fsanitize=fuzzer-no-link
                    ${includes} -MD -MF ${object}.d -c ${source} -o ${object}
            DEPENDS ${source}
            DEPFILE ${object}.d
            COMMENT "Compiling ${relative} for the fuzz targets"
            VERBATIM)
        list(APPEND objects ${object})
    endforeach()
    set(${variable} ${objects} PARENT_SCOPE)
endfunction()

# onefile_fuzz_target(<name> OBJECTS <objects>... [LIBRARIES <libraries>...]
#                     [DEPENDS <targets>...] RUNS <count> SEEDS <seeds>...)
# Links build/bin/<name> with libFuzzer, and registers its test: RUNS
# inputs past its SEEDS (folders or files).
function(onefile_fuzz_target name)
    cmake_parse_arguments(arg "" "RUNS" "OBJECTS;LIBRARIES;DEPENDS;SEEDS" ${ARGN})
    set(binary ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${name})
    add_custom_command(OUTPUT ${binary}
        COMMAND ${ONEFILE_CLANGXX} ${ONEFILE_FUZZ_FLAGS} -fsanitize=fuzzer ${arg_OBJECTS}
                ${arg_LIBRARIES} -lzstd -lxxhash -lm -pthread -o ${binary}
        DEPENDS ${arg_OBJECTS} ${arg_LIBRARIES}
        COMMENT "Linking the fuzz target ${name}"
        VERBATIM)
    add_custom_target(${name} DEPENDS ${binary})
    if(arg_DEPENDS)
        add_dependencies(${name} ${arg_DEPENDS})
    endif()
    add_dependencies(onefile_fuzz_targets ${name})
    string(REPLACE ";" "\t" seeds "${arg_SEEDS}")
    set_property(GLOBAL APPEND PROPERTY ONEFILE_FUZZ_MANIFEST
        "${name}\t${binary}\t${arg_RUNS}\t${seeds}\n")
    add_test(NAME fuzz.${name}
        COMMAND ${CMAKE_SOURCE_DIR}/scripts/fuzz --build-dir ${CMAKE_BINARY_DIR} --runs ${name})
    set_tests_properties(fuzz.${name} PROPERTIES TIMEOUT 120)
endfunction()

# Writes build/fuzz/targets once every target is known.
function(onefile_write_fuzz_manifest)
    get_property(lines GLOBAL PROPERTY ONEFILE_FUZZ_MANIFEST)
    string(REPLACE ";" "" lines "${lines}")
    file(WRITE ${ONEFILE_FUZZ_DIR}/targets "${lines}")
endfunction()
