// The extract room's own state, declared for its tests, which reset it
// between cases and look at what a run entered, and the cache marker's text,
// with which they make copies of chosen products and builds. No other room
// includes this header.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "extract/directories.h"

// Directories known to exist, the home directory first.
extern KnownDirectories knownDirectories;

// The counts a complete cache marker holds.
struct MarkerCounts {
    unsigned long long files;
    unsigned long long bytes;
    uint64_t digest; // of the names and sizes of the files
};

// The cache marker that a run of the build `id` of `company`'s `product`
// writes into its copy: its first line when `counts` is null, else complete
// with them. Into `text` (`capacity` bytes, with a terminator); its length,
// or 0 when it does not fit.
size_t formatMarker(char* text, size_t capacity, const wchar_t* id, const wchar_t* company,
                    const wchar_t* product, const MarkerCounts* counts);
