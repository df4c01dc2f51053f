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
#define ONEFILE_EMPTY_NUMBER(symbol, name, type) extern const type symbol = 0;
#define ONEFILE_EMPTY_TEXT(symbol, name, capacity) extern const wchar_t symbol[capacity] = {};
extern "C" {
ONEFILE_BUILD_CONSTANTS(ONEFILE_EMPTY_NUMBER, ONEFILE_EMPTY_TEXT)
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

// Each constant with a slot, and the attached data.
#define ONEFILE_COUNT(symbol, name, slot) 1 +
constexpr size_t constantCount = ONEFILE_BUILD_CONSTANTS(ONEFILE_COUNT, ONEFILE_COUNT) 1;

// The table names each slot by its symbol, as the packer looks for it.
constexpr bool sameName(const char* a, const char* b) {
    return *a == *b && (*a == 0 || sameName(a + 1, b + 1));
}
#define ONEFILE_CHECK_NAME(symbol, name, slot)                                                     \
    static_assert(sameName(#symbol, name), "the table's name of " #symbol);
ONEFILE_BUILD_CONSTANTS(ONEFILE_CHECK_NAME, ONEFILE_CHECK_NAME)
static_assert(sameName("onefileAttachedData", ONEFILE_SYMBOL_ATTACHED_DATA),
              "the table's name of onefileAttachedData");

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

#define ONEFILE_SLOT(symbol, name, slot) {name, &symbol, sizeof symbol},

// Read by the packer and by whoever inspects the executable, never by the
// bootstrap; "used" keeps it although no code refers to it.
extern "C" {
alignas(16) __attribute__((section(".onefile_table"),
                           used)) extern const ConstantTable onefileConstantTable = {
    {
        // clang-format off
        ONEFILE_BUILD_CONSTANTS(ONEFILE_SLOT, ONEFILE_SLOT)
        // clang-format on
        {ONEFILE_SYMBOL_ATTACHED_DATA, onefileAttachedData, 0},
    },
    constantCount,
    0,
    {constantTableMagic[0], constantTableMagic[1], constantTableMagic[2], constantTableMagic[3],
     constantTableMagic[4], constantTableMagic[5], constantTableMagic[6], constantTableMagic[7]},
};
}
