// The build-time constants that the bootstrap reads, declared once for every
// room; their names and slots are in formats/archive_layout.h, shared with the packer.
#pragma once

#include <stdint.h>

#include "formats/archive_layout.h"

// In a packed executable each is a slot that the packer fills; programs linked
// with this library directly define them or take the library's defaults.
extern "C" const unsigned char onefileAttachedData[]; // magic, zstd frame and trailer
extern "C" const uint64_t onefileAttachedDataLength;  // their total length in bytes
extern "C" const wchar_t onefileCompanyName[];        // the product's company name
extern "C" const wchar_t onefileProductName[];        // the product's name
extern "C" const wchar_t onefileVersionString[];      // the product's dotted four-part version
// Where each run unpacks. The bootstrap library holds the default in a member
// of its own, which the linker takes only when nothing else defines it.
extern "C" const wchar_t onefileTargetDirectorySpec[];
// Cached mode (see formats/archive_layout.h); an empty id: each run unpacks afresh.
extern "C" const wchar_t onefileCacheId[];
extern "C" const wchar_t onefileCacheEntryName[];
extern "C" const uint64_t onefileCacheRecordCount;
extern "C" const uint64_t onefileCacheContentSize;
// Opt-in behaviours, the bits of formats/archive_layout.h; 0 unless the packer sets one.
extern "C" const uint32_t onefileBuildOptions;
