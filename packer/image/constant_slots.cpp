#include "packer/image/constant_slots.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <xxhash.h>

#include "formats/archive_layout.h"
#include "packer/error.h"
#include "packer/little_endian.h"

namespace {

// More constants than any build has: a larger count is damage.
constexpr uint32_t constantLimit = 256;

XXH64_state_t* hashOf(void* state) {
    return static_cast<XXH64_state_t*>(state);
}

std::vector<unsigned char> text(std::u16string_view value) {
    std::vector<unsigned char> bytes;
    putTerminatedUtf16(bytes, value);
    return bytes;
}

std::vector<unsigned char> number64(uint64_t value) {
    std::vector<unsigned char> bytes;
    put64(bytes, value);
    return bytes;
}

std::vector<unsigned char> number32(uint32_t value) {
    std::vector<unsigned char> bytes;
    put32(bytes, value);
    return bytes;
}

// The slots of one executable, by name, as far as the file holds them.
class SlotReader {
  public:
    SlotReader(const PeImage& image, const unsigned char* bytes, size_t size,
               const std::vector<ConstantSlot>& slots)
        : image_(image), bytes_(bytes), size_(size), slots_(slots) {}

    // The slot of `name`: present, and whole in the file; nothing when the
    // table has no such slot; a problem when it is damaged.
    bool find(const char* name, const unsigned char** at, size_t* length) const {
        for (const ConstantSlot& slot : slots_) {
            if (slot.name == name) {
                std::optional<size_t> offset = fileOffsetOf(image_, size_, slot.address, slot.size);
                if (!offset) {
                    damaged_ = true;
                    return false;
                }
                *at = bytes_ + *offset;
                *length = slot.size;
                return true;
            }
        }
        return false;
    }

    // A text slot: the units before the first zero unit, which must be there.
    std::optional<std::u16string> text(const char* name) const {
        const unsigned char* at = nullptr;
        size_t length = 0;
        if (!find(name, &at, &length)) {
            return std::nullopt;
        }
        std::u16string value;
        for (size_t i = 0; i + 2 <= length; i += 2) {
            char16_t unit = static_cast<char16_t>(load16(at + i));
            if (unit == 0) {
                return value;
            }
            value.push_back(unit);
        }
        damaged_ = true;
        return std::nullopt;
    }

    // A number slot of `width` bytes.
    std::optional<uint64_t> number(const char* name, size_t width) const {
        const unsigned char* at = nullptr;
        size_t length = 0;
        if (!find(name, &at, &length)) {
            return std::nullopt;
        }
        if (length != width) {
            damaged_ = true;
            return std::nullopt;
        }
        return loadLittleEndian(at, width);
    }

    bool damaged() const { return damaged_; }

  private:
    const PeImage& image_;
    const unsigned char* bytes_;
    size_t size_;
    const std::vector<ConstantSlot>& slots_;
    mutable bool damaged_ = false;
};

} // namespace

std::optional<std::vector<ConstantSlot>> readConstantTable(const PeImage& image,
                                                           const unsigned char* bytes, size_t size,
                                                           uint32_t end, std::string* problem) {
    if (end < constantTableEndSize) {
        *problem = "no table of the constants before the attached data";
        return std::nullopt;
    }
    std::optional<size_t> tail =
        fileOffsetOf(image, size, end - constantTableEndSize, constantTableEndSize);
    if (!tail ||
        std::memcmp(bytes + *tail + 8, constantTableMagic, sizeof constantTableMagic) != 0) {
        *problem = "no table of the constants before the attached data";
        return std::nullopt;
    }
    const uint32_t count = load32(bytes + *tail);
    const uint64_t entriesSize = uint64_t{count} * constantEntrySize;
    if (count == 0 || count > constantLimit || load32(bytes + *tail + 4) != 0 ||
        entriesSize > end - constantTableEndSize) {
        *problem = "the table of the constants is damaged";
        return std::nullopt;
    }
    const uint32_t start = end - constantTableEndSize - static_cast<uint32_t>(entriesSize);
    std::optional<size_t> entries =
        fileOffsetOf(image, size, start, static_cast<uint32_t>(entriesSize));
    if (!entries) {
        *problem = "the table of the constants lies outside the file";
        return std::nullopt;
    }
    std::vector<ConstantSlot> slots;
    for (uint32_t i = 0; i < count; ++i) {
        const unsigned char* entry = bytes + *entries + i * constantEntrySize;
        const char* name = reinterpret_cast<const char*>(entry);
        const char* nameEnd = std::find(name, name + constantNameSize, '\0');
        const uint64_t address = loadLittleEndian(entry + constantNameSize, 8);
        const uint64_t slotSize = loadLittleEndian(entry + constantNameSize + 8, 8);
        if (nameEnd == name || nameEnd == name + constantNameSize || address < image.imageBase ||
            address - image.imageBase > UINT32_MAX || slotSize > UINT32_MAX) {
            *problem = "the table of the constants is damaged";
            return std::nullopt;
        }
        slots.push_back({std::string(name, nameEnd),
                         static_cast<uint32_t>(address - image.imageBase),
                         static_cast<uint32_t>(slotSize)});
    }
    const ConstantSlot& attached = slots.back();
    if (attached.name != ONEFILE_SYMBOL_ATTACHED_DATA || attached.address != end ||
        attached.size != 0) {
        *problem = "the table of the constants does not end at the attached data";
        return std::nullopt;
    }
    return slots;
}

std::vector<ConstantValue> constantValues(const BuildConstants& constants, uint64_t attachedLength,
                                          const CacheFacts* cache, const std::u16string& cacheId) {
    return {
        {ONEFILE_SYMBOL_ATTACHED_DATA_LENGTH, number64(attachedLength)},
        {ONEFILE_SYMBOL_COMPANY_NAME, text(constants.companyName)},
        {ONEFILE_SYMBOL_PRODUCT_NAME, text(constants.productName)},
        {ONEFILE_SYMBOL_VERSION_STRING, text(constants.versionString)},
        {ONEFILE_SYMBOL_TARGET_DIRECTORY_SPEC, text(constants.targetDirectorySpec)},
        {ONEFILE_SYMBOL_CACHE_ID, text(cache ? cacheId : u"")},
        {ONEFILE_SYMBOL_CACHE_ENTRY_NAME, text(cache ? cache->entryName : u"")},
        {ONEFILE_SYMBOL_CACHE_RECORD_COUNT, number64(cache ? cache->records : 0)},
        {ONEFILE_SYMBOL_CACHE_CONTENT_SIZE, number64(cache ? cache->contentBytes : 0)},
        {ONEFILE_SYMBOL_BUILD_OPTIONS, number32(constants.options)},
    };
}

CacheIdSink::CacheIdSink(ByteSink& next, const std::u16string& company,
                         const std::u16string& product)
    : next_(next), state_(XXH64_createState()) {
    if (!state_) {
        throw PackError("out of memory");
    }
    XXH64_reset(hashOf(state_), 0);
    // The names first, each ended by a zero unit: the runs of a product take
    // only its own copies for its other versions, which two products with
    // the same files could not tell apart in one directory.
    for (const std::u16string* text : {&company, &product}) {
        std::string units;
        for (char16_t c : *text + u'\0') {
            units += static_cast<char>(c & 0xff);
            units += static_cast<char>(c >> 8);
        }
        XXH64_update(hashOf(state_), units.data(), units.size());
    }
}

CacheIdSink::~CacheIdSink() {
    XXH64_freeState(hashOf(state_));
}

void CacheIdSink::write(const void* data, size_t size) {
    XXH64_update(hashOf(state_), data, size);
    next_.write(data, size);
}

std::u16string CacheIdSink::id() const {
    char id[cacheIdLength + 1];
    std::snprintf(id, sizeof id, "%016llx",
                  static_cast<unsigned long long>(XXH64_digest(hashOf(state_))));
    return std::u16string(id, id + cacheIdLength);
}

std::optional<ConstantsSection> readConstantsSection(const unsigned char* bytes, size_t size,
                                                     size_t attachedOffset,
                                                     uint64_t attachedLength) {
    std::string problem;
    std::optional<PeImage> image = readPeImage(bytes, size, &problem);
    if (!image) {
        return std::nullopt;
    }
    std::optional<uint32_t> address = addressOfFileOffset(*image, attachedOffset);
    if (!address) {
        return std::nullopt;
    }
    std::optional<std::vector<ConstantSlot>> slots =
        readConstantTable(*image, bytes, size, *address, &problem);
    if (!slots) {
        return std::nullopt;
    }
    SlotReader read(*image, bytes, size, *slots);
    if (read.number(ONEFILE_SYMBOL_ATTACHED_DATA_LENGTH, 8) != attachedLength) {
        return std::nullopt;
    }
    ConstantsSection section;
    std::optional<std::u16string> company = read.text(ONEFILE_SYMBOL_COMPANY_NAME);
    std::optional<std::u16string> product = read.text(ONEFILE_SYMBOL_PRODUCT_NAME);
    std::optional<std::u16string> version = read.text(ONEFILE_SYMBOL_VERSION_STRING);
    if (!company || !product || product->empty() || !version || version->empty()) {
        return std::nullopt;
    }
    section.companyName = *company;
    section.productName = *product;
    section.versionString = *version;
    section.targetDirectorySpec = read.text(ONEFILE_SYMBOL_TARGET_DIRECTORY_SPEC);
    std::optional<std::u16string> id = read.text(ONEFILE_SYMBOL_CACHE_ID);
    if (id && !id->empty()) {
        std::optional<std::u16string> entry = read.text(ONEFILE_SYMBOL_CACHE_ENTRY_NAME);
        std::optional<uint64_t> records = read.number(ONEFILE_SYMBOL_CACHE_RECORD_COUNT, 8);
        std::optional<uint64_t> contentBytes = read.number(ONEFILE_SYMBOL_CACHE_CONTENT_SIZE, 8);
        if (id->size() != cacheIdLength || !entry || entry->empty() || !records || !contentBytes) {
            return std::nullopt;
        }
        section.cache = ConstantsSection::Cache{*id, *records, *contentBytes, *entry};
    }
    section.options =
        static_cast<uint32_t>(read.number(ONEFILE_SYMBOL_BUILD_OPTIONS, 4).value_or(0));
    if (read.damaged()) {
        return std::nullopt;
    }
    return section;
}
