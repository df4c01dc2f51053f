# Runs parent_check_probe from a folder far deeper than 260 characters and
# expects its child to take the child role. A parent path read into less
# than our own path holds would be cut, the child would take the parent role,
# and a packed executable would start children without end; the probe's
# child only reports its role, so a regression fails here instead.
# The probe is started from Unix, which gives it the long path as its own:
# Wine's CreateProcessW starts no program from a path of 260 characters or
# more, and Wine starts none at all from about 1024 on.
#   cmake -DPROBE=<exe> -DWINE_RUN=<script> -DWORK=<scratch folder> -P deep_parent_check.cmake
file(REMOVE_RECURSE "${WORK}")
set(folder "${WORK}")
string(REPEAT "d" 200 component)
# The Windows path is "Z:" and the Unix path with backslashes.
string(LENGTH "Z:${folder}/parent_check_probe.exe" length)
while(length LESS 600)
    set(folder "${folder}/${component}")
    string(LENGTH "Z:${folder}/parent_check_probe.exe" length)
endwhile()
file(MAKE_DIRECTORY "${folder}")
file(COPY "${PROBE}" DESTINATION "${folder}")
set(failures "")
foreach(mode "" "--unreadable")
    execute_process(COMMAND "${WINE_RUN}" "${folder}/parent_check_probe.exe" spawn ${mode}
        OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status TIMEOUT 120)
    string(STRIP "${out}" out)
    if(NOT status EQUAL 0 OR NOT out STREQUAL "child")
        string(APPEND failures "spawn ${mode}: status ${status}, output '${out}' ${err}\n")
    endif()
endforeach()
file(REMOVE_RECURSE "${WORK}")
if(failures)
    message(FATAL_ERROR "the child of a program stored at a path of ${length} characters "
                        "did not take the child role:\n${failures}")
endif()
message(STATUS "the child role was taken at a path of ${length} characters")
