// What an entry library that failed to load lacked. The system's text for
// the error says only that "the specified module" or "procedure" could not
// be found; this names it. It runs only after the load has failed, so a run
// that loads its entry library pays nothing for it.
#pragma once

#include <stddef.h>
#include <windows.h>

// Whether a load that failed with `code` may have failed for a library or a
// function that one of the libraries imports.
bool importMayBeMissing(DWORD code);

// Walks the imports of the entry library at `libraryPath` and of the
// package's libraries that it reaches, searched as the child's load searched
// them (the entry library's folder, then the target directory, then the
// system), and writes into `detail` (`capacity` bytes) one sentence naming
// the first library that none of them holds, with the library that imports
// it, or the first function that a library does not export. Writes an empty
// text when it finds neither.
void describeMissingImport(const wchar_t* libraryPath, char* detail, size_t capacity);
