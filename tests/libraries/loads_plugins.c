/* An entry that loads the libraries its arguments name, paths below the
 * package's top, each with a plain LoadLibraryW and its full path, as most
 * applications load their plug-ins. Prints "<name>: loaded" or
 * "<name>: error <code>" a line each; returns how many failed. */
#include <onefile/entry.h>

#include <stdio.h>
#include <wchar.h>
#include <windows.h>

ONEFILE_ENTRY int run_code(int argc, wchar_t** argv, const wchar_t* entry_library_path) {
    wchar_t top[MAX_PATH];
    wcsncpy(top, entry_library_path, MAX_PATH - 1);
    top[MAX_PATH - 1] = 0;
    wchar_t* separator = wcsrchr(top, L'\\');
    if (separator != NULL) {
        *separator = 0;
    }
    int failed = 0;
    for (int i = 1; i < argc; ++i) {
        wchar_t path[2 * MAX_PATH];
        _snwprintf(path, 2 * MAX_PATH, L"%ls\\%ls", top, argv[i]);
        path[2 * MAX_PATH - 1] = 0;
        HMODULE module = LoadLibraryW(path);
        if (module != NULL) {
            printf("%ls: loaded\n", argv[i]);
        } else {
            printf("%ls: error %lu\n", argv[i], GetLastError());
            ++failed;
        }
    }
    fflush(stdout);
    return failed;
}
