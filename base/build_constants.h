// The build-time constants that the bootstrap reads, declared once for every
// room; their names and slots are in formats/archive_layout.h, shared with the packer.
#pragma once

#include <stdint.h>

#include "formats/archive_layout.h"

// In a packed executable each is a slot that the packer fills; programs linked
// with this library directly define them or take the library's defaults.
//   onefileAttachedData         magic, zstd frame and trailer
//   onefileAttachedDataLength   their total length in bytes
//   onefileCompanyName, onefileProductName, onefileVersionString
//                               the product's company, name and dotted
//                               four-part version
//   onefileTargetDirectorySpec  where each run unpacks; the bootstrap library
//                               holds the default in a member of its own,
//                               which the linker takes only when nothing else
//                               defines it
//   onefileCache...             cached mode (see formats/archive_layout.h); an
//                               empty id: each run unpacks afresh
//   onefileBuildOptions         opt-in behaviours, the bits of
//                               formats/archive_layout.h; 0 unless the packer
//                               sets one
extern "C" const unsigned char onefileAttachedData[];
#define ONEFILE_DECLARE_NUMBER(symbol, name, type) extern "C" const type symbol;
#define ONEFILE_DECLARE_TEXT(symbol, name, capacity) extern "C" const wchar_t symbol[];
ONEFILE_BUILD_CONSTANTS(ONEFILE_DECLARE_NUMBER, ONEFILE_DECLARE_TEXT)
#undef ONEFILE_DECLARE_NUMBER
#undef ONEFILE_DECLARE_TEXT
