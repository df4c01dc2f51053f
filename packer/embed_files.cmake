# Writes a C++ source that carries files as byte arrays, so that the packer
# needs no data files of its own at run time.
#
#   cmake -DOUTPUT=out.cpp -DFILES="name=path;name=path" -P embed_files.cmake
#
# Each name becomes `const EmbeddedFile name` (packer/embedded_files.h).
# Plain C++ arrays, so that any compiler that builds the packer takes them.
set(source "// Made by packer/embed_files.cmake.\n")
string(APPEND source "#include \"packer/embedded_files.h\"\n\nnamespace {\n")
set(objects "")
foreach(pair IN LISTS FILES)
    string(FIND "${pair}" "=" at)
    string(SUBSTRING "${pair}" 0 ${at} name)
    math(EXPR after "${at} + 1")
    string(SUBSTRING "${pair}" ${after} -1 path)
    file(READ "${path}" hex HEX)
    string(LENGTH "${hex}" digits)
    math(EXPR size "${digits} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    # Lines of 16 bytes keep the generated file readable.
    string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
    # One spare zero byte: text files can be read as terminated strings.
    string(APPEND source "const unsigned char ${name}Bytes[${size} + 1] = {\n    ${bytes}0};\n")
    string(APPEND objects "extern const EmbeddedFile ${name} = {${name}Bytes, ${size}};\n")
endforeach()
string(APPEND source "} // namespace\n\n${objects}")
# Written only when it changes, so that nothing is rebuilt for nothing.
file(CONFIGURE OUTPUT "${OUTPUT}" CONTENT "${source}" @ONLY)
