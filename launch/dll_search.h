// Where a process that runs the packaged application looks for libraries.
#pragma once

// From here on, a library loaded by name, and what a library loaded by path
// imports, is searched in `targetDirectory` and then in the system directory
// alone: never in the executable's folder (often a Downloads folder, where
// anyone can leave a DLL), nor in the current directory or the folders on
// PATH. Called before the entry library is loaded. The application can still
// add folders of its own (AddDllDirectory) or load by full path.
void restrictDllSearch(const wchar_t* targetDirectory);
