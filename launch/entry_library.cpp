#include "launch/entry_library.h"

#include <windows.h>

#include "formats/archive_layout.h"
#include "base/seams.h"
#include "base/state.h"
#include "errors/errors.h"
#include "launch/dll_search.h"
#include "launch/missing_import.h"

namespace {

// What the walk over the imports found to be missing, for the message.
char loadFailureDetail[2 * pathCapacity + 512];

} // namespace

int runEntryLibrary(int count, wchar_t** vector, const wchar_t* libraryPath) {
    // The entry library's own dependencies, and whatever the application
    // later loads by name, are found in the target directory.
    restrictDllSearch(targetDirectoryPath);
    // Everything this load brings in is searched in the entry library's
    // folder, the target directory and the system directory, in this order;
    // libraries loaded by name already are taken as they are.
    HMODULE library = SYSTEM_CALL(LoadLibraryExW)(libraryPath, nullptr,
                                                  LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR |
                                                      LOAD_LIBRARY_SEARCH_USER_DIRS |
                                                      LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library == nullptr) {
        DWORD code = GetLastError();
        if (importMayBeMissing(code)) {
            describeMissingImport(libraryPath, loadFailureDetail, sizeof loadFailureDetail);
        }
        fatalErrorWithCode(messageLoadFailed, code,
                           loadFailureDetail[0] != 0 ? loadFailureDetail : nullptr);
    }
    RunCodeFunction runCode = reinterpret_cast<RunCodeFunction>(
        reinterpret_cast<void*>(GetProcAddress(library, entryFunctionName)));
    if (runCode == nullptr) {
        fatalError(messageNoEntryPoint);
    }
    return runCode(count, vector, libraryPath);
}
