// The attached archive's byte layout, shared by the packer that writes it,
// the bootstrap that reads it, and the tests that take it apart. All integers
// are little-endian; there is no padding between fields.
//
//   offset   size  field
//   0        3     magic "QJY"
//   3        F     one zstd frame; its content is the record stream below
//   3+F      2     trailer pad, two zero bytes
//   5+F      8     trailer length, uint64 = 5+F (the bytes before this field)
//   total    13+F
//
// The trailer is part of the decoder's input: while the frame is decoded some
// input always remains, and past the frame the decoder reads the pad as a
// frame header and fails. That is how a missing terminator is caught.
//
// Record stream (decompressed content), records then a terminator:
//   path     2*(n+1)  n UTF-16LE code units, relative, "\" separated, then 0x0000; 1 <= n <= 1023
//   size     8        uint64 number of content bytes
//   content  size     the file's bytes, verbatim
//   terminator: an empty path, a single 0x0000, with no size after it.
// The first record is the entry library, a DLL that exports entryFunctionName;
// a later record with the same path replaces the earlier file.
#pragma once

#include <stddef.h>
#include <stdint.h>

// First bytes of the attached data, compared byte by byte before anything is allocated.
constexpr unsigned char attachedMagic[3] = {'Q', 'J', 'Y'};
constexpr size_t attachedMagicSize = 3;
// Zero bytes between the frame and the trailer length.
constexpr size_t trailerPadSize = 2;
// Size of the trailer length field, a uint64 holding 5 + F.
constexpr size_t trailerLengthSize = 8;
// Bytes around the frame: magic, pad and trailer length (13).
constexpr size_t attachedOverheadSize = attachedMagicSize + trailerPadSize + trailerLengthSize;

// What the entry library exports and the child calls.
constexpr char entryFunctionName[] = "run_code";

// Code units of a record path with its terminator; a writer emits at most 1023.
constexpr size_t recordNameCapacity = 1024;
constexpr size_t recordNameMaxUnits = recordNameCapacity - 1;
// Wide characters of every path buffer of the bootstrap, the terminator
// included: the target directory, and it joined to a record's path by "\".
// The packer refuses a build whose longest path cannot fit.
constexpr size_t pathCapacity = 4096;
// Size of a record's content size field, a uint64.
constexpr size_t recordSizeFieldSize = 8;

// Largest window log the decoder accepts (its limit is 2^27 + 1 bytes).
constexpr unsigned maxFrameWindowLog = 27;
// Decoded bytes the reader buffers at a time: the largest zstd block (128 KiB).
constexpr size_t readerOutputBufferSize = 131072;

// Names of the build-time constants that the bootstrap reads (C linkage, no
// underscore prefix on x86-64). In a packed executable each is a slot of
// fixed size in the read-only data, which the packer fills (see the table
// below); programs linked with the bootstrap library directly, such as test
// probes, define them themselves or take the library's defaults.
#define ONEFILE_SYMBOL_ATTACHED_DATA "onefileAttachedData"
#define ONEFILE_SYMBOL_ATTACHED_DATA_LENGTH "onefileAttachedDataLength"
#define ONEFILE_SYMBOL_COMPANY_NAME "onefileCompanyName"
#define ONEFILE_SYMBOL_PRODUCT_NAME "onefileProductName"
#define ONEFILE_SYMBOL_VERSION_STRING "onefileVersionString"
// The target directory's path spec, UTF-16 with a terminator. The bootstrap
// library supplies the default.
#define ONEFILE_SYMBOL_TARGET_DIRECTORY_SPEC "onefileTargetDirectorySpec"
#define ONEFILE_DEFAULT_TARGET_DIRECTORY_SPEC "{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}"

// Cached mode: the build unpacks once into a fixed directory and later runs
// start from it. The packer sets all four together for a cached build; an
// empty id and zeros (the bootstrap library's defaults) mean a run of its own.
//   onefileCacheId           UTF-16, cacheIdLength lowercase hexadecimal
//                            digits naming the build (of a 64-bit hash of
//                            the company's and product's names and the
//                            attached data)
//   onefileCacheEntryName    UTF-16, the first record's path
//   onefileCacheRecordCount  uint64, the number of records
//   onefileCacheContentSize  uint64, the bytes of all records' contents
// In cached mode the spec names the folder that holds each build's cache
// directory, whose name is the build's id.
// Digits of a build's id, the name of its cache directory; a name of any
// other form in the folder that holds them is none of a build's.
constexpr size_t cacheIdLength = 16;
#define ONEFILE_DEFAULT_CACHE_DIRECTORY_SPEC "{CACHE_DIR}\\onefile\\{PRODUCT}"
#define ONEFILE_SYMBOL_CACHE_ID "onefileCacheId"
#define ONEFILE_SYMBOL_CACHE_ENTRY_NAME "onefileCacheEntryName"
#define ONEFILE_SYMBOL_CACHE_RECORD_COUNT "onefileCacheRecordCount"
#define ONEFILE_SYMBOL_CACHE_CONTENT_SIZE "onefileCacheContentSize"
// A cached copy holds this file, in ASCII: a run writes "onefile cache
// product <product> build <id>" and a line end into the copy before anything
// else, and completes it last, to the same followed by " files <records>
// bytes <bytes> digest <digest>" and a line end (<product>: 16 hexadecimal
// digits of a hash of the company's and the product's names; <digest>: 16
// made from the names and sizes of the files unpacked). A directory is
// complete when it holds the complete marker and besides it exactly those
// files; a run moves or removes no copy whose marker does not name its
// product. No record may take its name.
#define ONEFILE_CACHE_MARKER_NAME "onefile-cache-complete"
// A first run unpacks beside the cache directory, into its name followed by
// this kind and the run's values, a spec's references: the longest name that
// a cached build's runs open.
#define ONEFILE_CACHE_PARTIAL_KIND ".partial-"
#define ONEFILE_CACHE_RUN_VALUES "{PID}_{TIME_US}_{RANDOM}"

// Opt-in behaviours of a build, one bit each in a uint32 (the bits are named
// below as options arrive); 0 in a build without options, and the bootstrap
// library's default.
#define ONEFILE_SYMBOL_BUILD_OPTIONS "onefileBuildOptions"
// A failure's message also appears in a message box titled with the product's
// name (GUI builds, whose standard streams usually lead nowhere).
constexpr uint32_t buildOptionErrorDialog = 1u << 0;
// A GUI build's parent shows a small window with a progress bar when
// unpacking takes longer than about half a second.
constexpr uint32_t buildOptionProgressWindow = 1u << 1;
// A cached build leaves the cache directories of the product's other builds
// alone; without it, a run removes those that no running instance holds.
constexpr uint32_t buildOptionKeepOtherVersions = 1u << 2;

// Slots of the constants in a packed executable, in UTF-16 code units with
// the terminator: the company, the product and the version text; the cache
// id (16 hexadecimal digits). The spec's is pathCapacity and the entry's name
// recordNameCapacity; the numbers take their own size.
constexpr size_t productTextCapacity = 256;
constexpr size_t cacheIdCapacity = cacheIdLength + 1;

// The build constants with a slot, in the order of the table below: each
// one's symbol, the name the table gives it, and its slot, a number of the
// given type or UTF-16 text of the given capacity. The bootstrap's
// declarations, the images' slots and their table are all made from this
// list; the attached data, which has no slot, comes after them.
#define ONEFILE_BUILD_CONSTANTS(NUMBER, TEXT)                                                      \
    NUMBER(onefileAttachedDataLength, ONEFILE_SYMBOL_ATTACHED_DATA_LENGTH, uint64_t)               \
    TEXT(onefileCompanyName, ONEFILE_SYMBOL_COMPANY_NAME, productTextCapacity)                     \
    TEXT(onefileProductName, ONEFILE_SYMBOL_PRODUCT_NAME, productTextCapacity)                     \
    TEXT(onefileVersionString, ONEFILE_SYMBOL_VERSION_STRING, productTextCapacity)                 \
    TEXT(onefileTargetDirectorySpec, ONEFILE_SYMBOL_TARGET_DIRECTORY_SPEC, pathCapacity)           \
    TEXT(onefileCacheId, ONEFILE_SYMBOL_CACHE_ID, cacheIdCapacity)                                 \
    TEXT(onefileCacheEntryName, ONEFILE_SYMBOL_CACHE_ENTRY_NAME, recordNameCapacity)               \
    NUMBER(onefileCacheRecordCount, ONEFILE_SYMBOL_CACHE_RECORD_COUNT, uint64_t)                   \
    NUMBER(onefileCacheContentSize, ONEFILE_SYMBOL_CACHE_CONTENT_SIZE, uint64_t)                   \
    NUMBER(onefileBuildOptions, ONEFILE_SYMBOL_BUILD_OPTIONS, uint32_t)

// The table of the slots. The bootstrap's code refers to every constant at a
// fixed place in its read-only data, so the two bootstrap images are linked
// once with a slot of the largest size for each; the packer writes a build's
// values into a copy and the attached data after the table, at the end of the
// section, where it grows without moving anything the code refers to. The
// table tells the packer, and later readers of the executable, where each
// slot lies; it ends right where the attached data begins:
//   per constant  name     32  the symbol's name, zero bytes after it
//                 address   8  uint64 virtual address of the slot (the image's
//                              preferred base included)
//                 size      8  uint64 bytes of the slot
//   then          count     4  uint32 number of constants
//                 zero      4
//                 magic     8  "OFSLOTS1"
// The last constant is the attached data itself, of size 0. A slot holds its
// value (UTF-16 text and its terminator, or a little-endian number), then zero
// bytes to its end.
constexpr unsigned char constantTableMagic[8] = {'O', 'F', 'S', 'L', 'O', 'T', 'S', '1'};
constexpr size_t constantNameSize = 32;
constexpr size_t constantEntrySize = constantNameSize + 16;
constexpr size_t constantTableEndSize = 16;
