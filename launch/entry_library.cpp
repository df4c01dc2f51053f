#include "launch/entry_library.h"

#include <windows.h>

#include "archive/layout.h"
#include "bootstrap/bootstrap.h"
#include "errors/errors.h"

int runEntryLibrary(int count, wchar_t** vector, const wchar_t* libraryPath) {
    // The entry library's own dependencies are found in the target directory.
    AddDllDirectory(targetDirectoryPath);
    HMODULE library =
        LoadLibraryExW(libraryPath, nullptr,
                       LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                           LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library == nullptr) {
        fatalErrorWithCode(messageLoadFailed, GetLastError());
    }
    RunCodeFunction runCode = reinterpret_cast<RunCodeFunction>(
        reinterpret_cast<void*>(GetProcAddress(library, entryFunctionName)));
    if (runCode == nullptr) {
        fatalError(messageNoEntryPoint);
    }
    return runCode(count, vector, libraryPath);
}
