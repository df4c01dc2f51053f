/* An entry that loads extra.dll by name alone, as applications load their
 * plug-ins and optional libraries, and prints what it says. */
#include <onefile/entry.h>
#include <stdio.h>
#include <windows.h>

ONEFILE_ENTRY int run_code(int argc, wchar_t** argv, const wchar_t* entry_library_path) {
    (void)argc;
    (void)argv;
    (void)entry_library_path;
    HMODULE extra = LoadLibraryW(L"extra.dll");
    if (extra == NULL) {
        printf("extra.dll did not load: error %lu\n", GetLastError());
        return 1;
    }
    typedef const char* (*ExtraText)(void);
    ExtraText text = (ExtraText)(void*)GetProcAddress(extra, "extra_text");
    if (text == NULL) {
        return 1;
    }
    printf("extra: %s\n", text());
    return 0;
}
