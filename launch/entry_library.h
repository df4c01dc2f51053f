// The child's hand-over to the packaged application's entry library.
#pragma once

// The entry library's export: argument count, wide arguments, its own path.
typedef int (*RunCodeFunction)(int argumentCount, wchar_t** argumentVector,
                               const wchar_t* entryLibraryPath);

// Loads the entry library and returns what its run_code returns.
int runEntryLibrary(int argumentCount, wchar_t** argumentVector, const wchar_t* libraryPath);
