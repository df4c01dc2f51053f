/* An entry library in C that imports both functions of helper.dll: by name,
 * by ordinal or delay-loaded, as the import library it is linked with says. */
#include <onefile/entry.h>

const char* greet(void);
const char* greet_loudly(void);

ONEFILE_ENTRY int run_code(int argc, wchar_t** argv, const wchar_t* entry_library_path) {
    (void)argv;
    (void)entry_library_path;
    return argc > 1 ? greet()[0] : greet_loudly()[0];
}
