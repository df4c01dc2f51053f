# Writes the linker script of the bootstrap images: ld's own default script,
# with the read-only data section moved after every other section that the
# loader maps, except the resources and the relocations, and with the table
# of the build constants and the attached data last in it. The packer can
# then grow the section at its end, and add the resources, without moving
# anything the code refers to.
#
#   cmake -DLINKER=ld -DOUTPUT=bootstrap.ld -P linker_script.cmake
#
# The script is made from the installed binutils at build time rather than
# kept here, so that it always matches the linker that uses it.
execute_process(COMMAND ${LINKER} --verbose OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${LINKER} --verbose failed (${result})")
endif()

# The default script lies between two lines of "=".
set(rule "==================================================")
string(FIND "${dump}" "${rule}\n" first)
string(FIND "${dump}" "\n${rule}" last REVERSE)
if(first LESS 0 OR last LESS_EQUAL first)
    message(FATAL_ERROR "${LINKER} --verbose printed no default linker script")
endif()
string(LENGTH "${rule}\n" skip)
math(EXPR start "${first} + ${skip}")
math(EXPR length "${last} - ${start} + 1")
string(SUBSTRING "${dump}" ${start} ${length} script)

function(fail what)
    message(FATAL_ERROR "the default linker script of ${LINKER} has no ${what}; "
        "images/linker_script.cmake needs to learn its new shape")
endfunction()

# The .rdata statement and the assignments after it, which mark the runtime's
# pseudo-relocation list at the section's end.
string(REGEX MATCH "  \\.rdata BLOCK\\(__section_alignment__\\) :\n  {[^}]*}\n(  [_A-Za-z]+ = [^\n]*\n)+"
    block "${script}")
if(block STREQUAL "")
    fail(".rdata statement")
endif()
string(FIND "${block}" "  }\n" close)
string(SUBSTRING "${block}" 0 ${close} statement)
math(EXPR after "${close} + 4")
string(SUBSTRING "${block}" ${after} -1 assignments)
if(NOT assignments MATCHES "__rt_psrelocs_end" OR NOT statement MATCHES "__rt_psrelocs_start = \\.;")
    fail("pseudo-relocation list at the end of .rdata")
endif()
# The list's end is no longer the section's end: the table and the attached
# data follow it.
string(REPLACE "= . - __rt_psrelocs_size;" "= __rt_psrelocs_start;" assignments "${assignments}")
string(REPLACE "= .;" "= __rt_psrelocs_end;" assignments "${assignments}")
if(assignments MATCHES "[=-] \\.")
    fail("pseudo-relocation symbols of a known form")
endif()
string(APPEND statement "    KEEP(*(.onefile_table))\n    KEEP(*(.onefile_attached))\n  }\n")

# Out of its place, and in after the thread-local storage, before the end
# marker, the resources and the relocations.
string(REPLACE "${block}" "" script "${script}")
string(FIND "${script}" "  .endjunk BLOCK" endjunk)
if(endjunk LESS 0)
    fail(".endjunk statement")
endif()
string(SUBSTRING "${script}" 0 ${endjunk} before)
string(SUBSTRING "${script}" ${endjunk} -1 rest)
file(CONFIGURE OUTPUT "${OUTPUT}" CONTENT "${before}${statement}${assignments}${rest}" @ONLY)
