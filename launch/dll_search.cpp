#include "launch/dll_search.h"

#include <windows.h>

void restrictDllSearch(const wchar_t* targetDirectory) {
    // The package's top first: its libraries are the ones the application
    // was built with.
    AddDllDirectory(targetDirectory);
    // Not LOAD_LIBRARY_SEARCH_DEFAULT_DIRS, which takes in the executable's
    // folder. PATH has no place in this search at all: its folders are
    // often writable by the user, and some name the current directory.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32);
}
