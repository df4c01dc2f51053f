// The child's hand-over to the packaged application's entry library.
#pragma once

// The entry library's export, as the header that entry libraries include
// declares it: argument count, wide arguments, its own path.
#include "include/onefile/entry.h"
typedef onefile_run_code_function* RunCodeFunction;

// Loads the entry library and returns what its run_code returns.
int runEntryLibrary(int argumentCount, wchar_t** argumentVector, const wchar_t* libraryPath);
