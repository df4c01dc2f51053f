// The build-time constants of a packed executable: a slot of the largest size
// for each, in the read-only data of the two bootstrap images, and the table
// that lists them (formats/archive_layout.h). The packer fills the slots of a copy of
// an image with a build's values and writes the attached data where the table
// ends, so that nothing the code refers to moves.
#include <stddef.h>
#include <stdint.h>

#include "formats/archive_layout.h"
#include "base/build_constants.h"

// Every slot is empty here: the packer writes each one whole.
extern "C" {
extern const uint64_t onefileAttachedDataLength = 0;
extern const wchar_t onefileCompanyName[productTextCapacity] = {};
extern const wchar_t onefileProductName[productTextCapacity] = {};
extern const wchar_t onefileVersionString[productTextCapacity] = {};
extern const wchar_t onefileTargetDirectorySpec[pathCapacity] = {};
extern const wchar_t onefileCacheId[cacheIdCapacity] = {};
extern const wchar_t onefileCacheEntryName[recordNameCapacity] = {};
extern const uint64_t onefileCacheRecordCount = 0;
extern const uint64_t onefileCacheContentSize = 0;
extern const uint32_t onefileBuildOptions = 0;
// Where the attached data begins. The linker script puts this section last
// in the read-only data, right after the table's, so the section's end is
// here and the packer grows it from here.
alignas(16) __attribute__((section(".onefile_attached"))) extern const
    unsigned char onefileAttachedData[0] = {};
}

namespace {

struct ConstantEntry {
    char name[constantNameSize];
    const void* address;
    uint64_t size;
};

constexpr size_t constantCount = 11;

struct ConstantTable {
    ConstantEntry entries[constantCount];
    uint32_t count;
    uint32_t zero;
    unsigned char magic[sizeof constantTableMagic];
};

static_assert(sizeof(ConstantEntry) == constantEntrySize, "an entry as the packer reads it");
static_assert(sizeof(ConstantTable) == constantCount * constantEntrySize + constantTableEndSize,
              "no padding: the table ends where the attached data begins");
static_assert(sizeof(ConstantTable) % 16 == 0, "the attached data stays 16-byte aligned");

} // namespace

#define ONEFILE_SLOT(symbol, variable)                                                             \
    { symbol, &variable, sizeof variable }

// Read by the packer and by whoever inspects the executable, never by the
// bootstrap; "used" keeps it although no code refers to it.
extern "C" {
alignas(16) __attribute__((section(".onefile_table"),
                           used)) extern const ConstantTable onefileConstantTable = {
    {
        ONEFILE_SLOT(ONEFILE_SYMBOL_ATTACHED_DATA_LENGTH, onefileAttachedDataLength),
        ONEFILE_SLOT(ONEFILE_SYMBOL_COMPANY_NAME, onefileCompanyName),
        ONEFILE_SLOT(ONEFILE_SYMBOL_PRODUCT_NAME, onefileProductName),
        ONEFILE_SLOT(ONEFILE_SYMBOL_VERSION_STRING, onefileVersionString),
        ONEFILE_SLOT(ONEFILE_SYMBOL_TARGET_DIRECTORY_SPEC, onefileTargetDirectorySpec),
        ONEFILE_SLOT(ONEFILE_SYMBOL_CACHE_ID, onefileCacheId),
        ONEFILE_SLOT(ONEFILE_SYMBOL_CACHE_ENTRY_NAME, onefileCacheEntryName),
        ONEFILE_SLOT(ONEFILE_SYMBOL_CACHE_RECORD_COUNT, onefileCacheRecordCount),
        ONEFILE_SLOT(ONEFILE_SYMBOL_CACHE_CONTENT_SIZE, onefileCacheContentSize),
        ONEFILE_SLOT(ONEFILE_SYMBOL_BUILD_OPTIONS, onefileBuildOptions),
        {ONEFILE_SYMBOL_ATTACHED_DATA, onefileAttachedData, 0},
    },
    constantCount,
    0,
    {constantTableMagic[0], constantTableMagic[1], constantTableMagic[2], constantTableMagic[3],
     constantTableMagic[4], constantTableMagic[5], constantTableMagic[6], constantTableMagic[7]},
};
}
