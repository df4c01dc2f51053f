// Runs one step of the child launch in a process of its own:
//   launch_probe build                  rebuild this process's command line, print it
//   launch_probe run-entry P            load the library P as the entry library
//   launch_probe run-entry-refused P [CODE]
//                                       the same, where the load fails as Windows fails
//                                       it for a function that a library lacks: with
//                                       ERROR_PROC_NOT_FOUND, or CODE
#include <stdio.h>
#include <wchar.h>

#include <string>

#include "base/seams.h"
#include "base/state.h"
#include "launch/command_line.h"
#include "launch/entry_library.h"

namespace {

// Wine binds an import that a library does not export to a stub and loads
// the library; Windows refuses the load with this error (ERROR_INVALID_ORDINAL
// for an import by ordinal).
DWORD refusal = ERROR_PROC_NOT_FOUND;

HMODULE WINAPI refuseAsWindows(LPCWSTR, HANDLE, DWORD) {
    SetLastError(refusal);
    return nullptr;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 2 && std::wstring(argv[1]) == L"build") {
        buildChildCommandLine();
        printf("%u\n", static_cast<unsigned>(childCommandLineLength));
        return 0;
    }
    if ((argc == 3 && std::wstring(argv[1]) == L"run-entry") ||
        ((argc == 3 || argc == 4) && std::wstring(argv[1]) == L"run-entry-refused")) {
        if (std::wstring(argv[1]) == L"run-entry-refused") {
            seamLoadLibraryExW = refuseAsWindows;
            if (argc == 4) {
                refusal = wcstoul(argv[3], nullptr, 10);
            }
        }
        wcscpy(targetDirectoryPath, argv[2]);
        wchar_t* separator = wcsrchr(targetDirectoryPath, L'\\');
        if (separator != nullptr) {
            *separator = 0;
        }
        return runEntryLibrary(argc, argv, argv[2]);
    }
    return 100;
}
