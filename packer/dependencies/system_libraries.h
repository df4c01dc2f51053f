// The libraries that every supported Windows has, which a package may import
// without carrying them, and how the loader finds each.
#pragma once

#include <string_view>

enum class SystemLibrary {
    none,     // not one: the package must carry it
    apiSet,   // an api-ms-win-* or ext-ms-win-* name, which the loader maps to a system library
    knownDll, // always taken from the system directory, even when a copy lies elsewhere
    inSystem, // in the system directory, which is searched after the package's folders
};

// What `name` (a file name, in any case) is among the system's libraries.
SystemLibrary systemLibrary(std::string_view name);
