// plain_loader DIRECTORY ENTRY [ARGUMENTS...]
//
// Loads DIRECTORY\ENTRY the way a packaged executable's child does (the
// folder on the DLL search path) and returns what its run_code returns,
// given this program's path and ARGUMENTS. It is what running an unpacked
// application directly costs: one process, no archive, no child, no removal.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "formats/archive_layout.h"

typedef int (*RunCode)(int argumentCount, wchar_t** argumentVector,
                       const wchar_t* entryLibraryPath);

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int count = __argc;
    wchar_t** vector = __wargv;
    if (count < 3) {
        fwprintf(stderr, L"usage: plain_loader DIRECTORY ENTRY [ARGUMENTS...]\n");
        return 2;
    }
    static wchar_t directory[4096];
    static wchar_t library[4096];
    if (GetFullPathNameW(vector[1], 4096, directory, nullptr) - 1 >= 4095 ||
        _snwprintf(library, 4096, L"%ls\\%ls", directory, vector[2]) < 0) {
        fwprintf(stderr, L"plain_loader: path too long\n");
        return 2;
    }
    SetDllDirectoryW(L"");
    AddDllDirectory(directory);
    HMODULE module =
        LoadLibraryExW(library, nullptr,
                       LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                           LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) {
        fwprintf(stderr, L"plain_loader: cannot load %ls (error %lu)\n", library, GetLastError());
        return 2;
    }
    RunCode runCode = reinterpret_cast<RunCode>(
        reinterpret_cast<void*>(GetProcAddress(module, entryFunctionName)));
    if (runCode == nullptr) {
        fwprintf(stderr, L"plain_loader: %ls has no run_code\n", library);
        return 2;
    }
    // run_code sees this program as argument 0 and the rest after ENTRY.
    vector[2] = vector[0];
    return runCode(count - 2, vector + 2, library);
}
