#include "packer/image/coff_object.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <xxhash.h>

#include "archive/layout.h"
#include "packer/error.h"
#include "packer/image/coff_format.h"
#include "packer/little_endian.h"
#include "packer/text.h"

namespace {

using namespace coff;

// Initialised data, read-only, 16-byte aligned.
constexpr uint32_t sectionCharacteristics = initialisedData | align16 | readable;
constexpr uint8_t storageClassExternal = 2;
// A section must fit the 32-bit fields of the object file and of the image;
// Windows refuses to load images of 2 GiB and more.
constexpr uint64_t sectionLimit = 0x7FF00000;

// Offsets inside the section's raw data.
constexpr uint32_t lengthOffset = 0;  // uint64 total length of the attached data
constexpr uint32_t stringsOffset = 8; // the strings follow it
constexpr uint32_t attachedAlignment = 16;
// The four strings: at most this many code units each.
constexpr size_t stringLimits[4] = {productTextLimit, productTextLimit, productTextLimit,
                                    pathCapacity - 1};

// The blocks after the attached data, each on a multiple of 8 from the
// section's start: cached mode's, then the options'.
constexpr uint32_t blockAlignment = 8;
constexpr char cacheBlockMagic[8] = {'O', 'F', 'C', 'A', 'C', 'H', 'E', '1'};
constexpr char optionsBlockMagic[8] = {'O', 'F', 'O', 'P', 'T', 'N', 'S', '1'};

XXH64_state_t* hashOf(void* state) {
    return static_cast<XXH64_state_t*>(state);
}

} // namespace

ConstantsObjectWriter::ConstantsObjectWriter(FILE* stream, std::filesystem::path path,
                                             const BuildConstants& constants,
                                             const CacheFacts* cache)
    : stream_(stream), path_(std::move(path)), options_(constants.options),
      ownSpec_(constants.targetDirectorySpec != defaultTargetDirectorySpec(TargetMode::perRun)) {
    if (cache) {
        cache_ = *cache;
        hashState_ = XXH64_createState();
        if (!hashState_) {
            throw PackError("out of memory");
        }
        XXH64_reset(hashOf(hashState_), 0);
    }
    std::vector<unsigned char> head;
    // File header; the symbol table's offset and size are patched in by
    // finish().
    put16(head, machineAmd64);
    put16(head, 1); // sections
    put32(head, 0); // time stamp: none, so equal inputs give equal objects
    put32(head, 0); // symbol table offset
    put32(head, 0); // symbols
    put16(head, 0); // optional header size
    put16(head, 0); // characteristics
    // Section header; the raw data size is patched in by finish().
    const char name[8] = {'.', 'r', 'd', 'a', 't', 'a', 0, 0};
    head.insert(head.end(), name, name + 8);
    put32(head, 0);                 // virtual size
    put32(head, 0);                 // virtual address
    put32(head, 0);                 // raw data size
    put32(head, sectionDataOffset); // raw data offset
    put32(head, 0);                 // relocations
    put32(head, 0);                 // line numbers
    put16(head, 0);
    put16(head, 0);
    put32(head, sectionCharacteristics);

    // Section data: the length, the strings, then the attached data.
    std::vector<unsigned char> data(stringsOffset, 0);
    const std::u16string* strings[4] = {&constants.companyName, &constants.productName,
                                        &constants.versionString, &constants.targetDirectorySpec};
    for (int i = 0; i < (ownSpec_ ? 4 : 3); ++i) {
        stringOffsets_[i] = static_cast<uint32_t>(data.size());
        putTerminatedUtf16(data, *strings[i]);
    }
    while (data.size() % attachedAlignment != 0) {
        data.push_back(0);
    }
    dataOffset_ = static_cast<uint32_t>(data.size());
    head.insert(head.end(), data.begin(), data.end());
    if (std::fwrite(head.data(), 1, head.size(), stream_) != head.size()) {
        throw PackError("cannot write " + quoteForMessage(path_.string()) + ": " +
                        systemErrorText(errno));
    }
}

ConstantsObjectWriter::~ConstantsObjectWriter() {
    XXH64_freeState(hashOf(hashState_));
}

void ConstantsObjectWriter::write(const void* data, size_t size) {
    if (hashState_) {
        XXH64_update(hashOf(hashState_), data, size);
    }
    if (dataOffset_ + attachedLength_ + size > sectionLimit) {
        throw PackError("the packed data exceeds the 2 GiB that a Windows executable can hold");
    }
    if (std::fwrite(data, 1, size, stream_) != size) {
        throw PackError("cannot write " + quoteForMessage(path_.string()) + ": " +
                        systemErrorText(errno));
    }
    attachedLength_ += size;
}

void ConstantsObjectWriter::writeAt(long offset, const void* data, size_t size) {
    if (std::fseek(stream_, offset, SEEK_SET) != 0 || std::fwrite(data, 1, size, stream_) != size) {
        throw PackError("cannot write " + quoteForMessage(path_.string()) + ": " +
                        systemErrorText(errno));
    }
}

void ConstantsObjectWriter::finish() {
    uint32_t sectionSize = dataOffset_ + static_cast<uint32_t>(attachedLength_);

    struct Symbol {
        const char* name;
        uint32_t value;
    };
    // The spec's symbol comes after the five that every build has, and only
    // with a spec of its own; without it the bootstrap library's default
    // serves. The cache's four come last.
    std::vector<Symbol> symbols = {
        {ONEFILE_SYMBOL_ATTACHED_DATA, dataOffset_},
        {ONEFILE_SYMBOL_ATTACHED_DATA_LENGTH, lengthOffset},
        {ONEFILE_SYMBOL_COMPANY_NAME, stringOffsets_[0]},
        {ONEFILE_SYMBOL_PRODUCT_NAME, stringOffsets_[1]},
        {ONEFILE_SYMBOL_VERSION_STRING, stringOffsets_[2]},
    };
    if (ownSpec_) {
        symbols.push_back({ONEFILE_SYMBOL_TARGET_DIRECTORY_SPEC, stringOffsets_[3]});
    }
    if (cache_) {
        // The id names the build's directory: equal attached data, one directory.
        char id[cacheIdLength + 1];
        std::snprintf(id, sizeof id, "%016llx",
                      static_cast<unsigned long long>(XXH64_digest(hashOf(hashState_))));
        cacheId_.assign(id, id + cacheIdLength);
        std::vector<unsigned char> block;
        while ((sectionSize + block.size()) % blockAlignment != 0) {
            block.push_back(0);
        }
        block.insert(block.end(), cacheBlockMagic, cacheBlockMagic + sizeof cacheBlockMagic);
        const uint32_t numbers = sectionSize + static_cast<uint32_t>(block.size());
        put64(block, cache_->records);
        put64(block, cache_->contentBytes);
        const uint32_t idOffset = sectionSize + static_cast<uint32_t>(block.size());
        putTerminatedUtf16(block, cacheId_);
        const uint32_t entryOffset = sectionSize + static_cast<uint32_t>(block.size());
        putTerminatedUtf16(block, cache_->entryName);
        symbols.push_back({ONEFILE_SYMBOL_CACHE_RECORD_COUNT, numbers});
        symbols.push_back({ONEFILE_SYMBOL_CACHE_CONTENT_SIZE, numbers + 8});
        symbols.push_back({ONEFILE_SYMBOL_CACHE_ID, idOffset});
        symbols.push_back({ONEFILE_SYMBOL_CACHE_ENTRY_NAME, entryOffset});
        writeAt(static_cast<long>(sectionDataOffset + sectionSize), block.data(), block.size());
        sectionSize += static_cast<uint32_t>(block.size());
    }
    if (options_ != 0) {
        std::vector<unsigned char> block;
        while ((sectionSize + block.size()) % blockAlignment != 0) {
            block.push_back(0);
        }
        block.insert(block.end(), optionsBlockMagic, optionsBlockMagic + sizeof optionsBlockMagic);
        symbols.push_back(
            {ONEFILE_SYMBOL_BUILD_OPTIONS, sectionSize + static_cast<uint32_t>(block.size())});
        put32(block, options_);
        writeAt(static_cast<long>(sectionDataOffset + sectionSize), block.data(), block.size());
        sectionSize += static_cast<uint32_t>(block.size());
    }
    const uint32_t symbolTableOffset = sectionDataOffset + sectionSize;

    std::vector<unsigned char> table;
    std::string strings;
    for (const Symbol& symbol : symbols) {
        size_t length = std::strlen(symbol.name);
        if (length <= 8) {
            char shortName[8] = {};
            std::memcpy(shortName, symbol.name, length);
            table.insert(table.end(), shortName, shortName + 8);
        } else {
            put32(table, 0);
            put32(table, static_cast<uint32_t>(4 + strings.size()));
            strings.append(symbol.name, length + 1);
        }
        put32(table, symbol.value);
        put16(table, 1); // section number
        put16(table, 0); // type: data
        table.push_back(storageClassExternal);
        table.push_back(0); // no auxiliary records
    }
    put32(table, static_cast<uint32_t>(4 + strings.size()));
    table.insert(table.end(), strings.begin(), strings.end());
    writeAt(static_cast<long>(symbolTableOffset), table.data(), table.size());

    unsigned char field[8];
    storeLittleEndian(field, symbolTableOffset, 4);
    writeAt(8, field, 4);
    storeLittleEndian(field, symbols.size(), 4);
    writeAt(12, field, 4);
    storeLittleEndian(field, sectionSize, 4);
    writeAt(fileHeaderSize + 16, field, 4);
    storeLittleEndian(field, attachedLength_, 8);
    writeAt(sectionDataOffset + lengthOffset, field, 8);
}

namespace {

// A string of at most `limit` code units and its zero unit at `at`, which
// must end before `end`; moves `at` past it.
std::optional<std::u16string> readString(const unsigned char* bytes, size_t& at, size_t end,
                                         size_t limit) {
    std::u16string text;
    for (;;) {
        if (end - at < 2) {
            return std::nullopt;
        }
        char16_t unit = static_cast<char16_t>(load16(bytes + at));
        at += 2;
        if (unit == 0) {
            return text;
        }
        if (text.size() == limit) {
            return std::nullopt;
        }
        text.push_back(unit);
    }
}

std::optional<ConstantsSection> readSectionAt(const unsigned char* bytes, size_t start,
                                              size_t end) {
    ConstantsSection section;
    std::u16string* fields[3] = {&section.companyName, &section.productName,
                                 &section.versionString};
    size_t at = start + stringsOffset;
    for (int i = 0; i < 3; ++i) {
        std::optional<std::u16string> text = readString(bytes, at, end, stringLimits[i]);
        if (!text) {
            return std::nullopt;
        }
        *fields[i] = *text;
    }
    if (section.productName.empty() || section.versionString.empty()) {
        return std::nullopt;
    }
    // Zero bytes up to the attached data, or first a spec of its own.
    if (at < end && (bytes[at] != 0 || (end - at >= 2 && bytes[at + 1] != 0))) {
        section.targetDirectorySpec = readString(bytes, at, end, stringLimits[3]);
        if (!section.targetDirectorySpec) {
            return std::nullopt;
        }
    }
    if (end - at >= attachedAlignment) {
        return std::nullopt;
    }
    for (; at < end; ++at) {
        if (bytes[at] != 0) {
            return std::nullopt;
        }
    }
    return section;
}

// Where a block after the attached data may begin: `at` rounded up as the
// writer aligned it. The section starts on a multiple of 16, so the distance
// from its start is what counts, and `sectionStart` gives it.
size_t alignedBlock(size_t at, size_t sectionStart) {
    return at + (blockAlignment - (at - sectionStart) % blockAlignment) % blockAlignment;
}

// A cached build's block at `at`; moves `at` past it.
std::optional<ConstantsSection::Cache> readCacheBlock(const unsigned char* bytes, size_t size,
                                                      size_t& at) {
    if (at > size || size - at < sizeof cacheBlockMagic + 16 ||
        std::memcmp(bytes + at, cacheBlockMagic, sizeof cacheBlockMagic) != 0) {
        return std::nullopt;
    }
    at += sizeof cacheBlockMagic;
    ConstantsSection::Cache cache;
    cache.records = loadLittleEndian(bytes + at, 8);
    cache.contentBytes = loadLittleEndian(bytes + at + 8, 8);
    at += 16;
    std::optional<std::u16string> id = readString(bytes, at, size, cacheIdLength);
    std::optional<std::u16string> entry = readString(bytes, at, size, recordNameMaxUnits);
    if (!id || id->size() != cacheIdLength || !entry || entry->empty()) {
        return std::nullopt;
    }
    cache.id = *id;
    cache.entryName = *entry;
    return cache;
}

// The options' block at `at`, or 0 when there is none.
uint32_t readOptionsBlock(const unsigned char* bytes, size_t size, size_t at) {
    if (at > size || size - at < sizeof optionsBlockMagic + 4 ||
        std::memcmp(bytes + at, optionsBlockMagic, sizeof optionsBlockMagic) != 0) {
        return 0;
    }
    return static_cast<uint32_t>(loadLittleEndian(bytes + at + sizeof optionsBlockMagic, 4));
}

} // namespace

std::optional<ConstantsSection> readConstantsSection(const unsigned char* bytes, size_t size,
                                                     size_t attachedOffset,
                                                     uint64_t attachedLength) {
    if (attachedOffset > size) {
        return std::nullopt;
    }
    // The section begins a multiple of 16 bytes before the attached data,
    // with the length of the data; the nearest such place whose strings end
    // exactly at the data is the one.
    size_t longest = stringsOffset + attachedAlignment;
    for (size_t limit : stringLimits) {
        longest += 2 * (limit + 1);
    }
    for (size_t back = attachedAlignment; back <= longest && back <= attachedOffset;
         back += attachedAlignment) {
        const size_t start = attachedOffset - back;
        if (loadLittleEndian(bytes + start + lengthOffset, 8) != attachedLength) {
            continue;
        }
        if (std::optional<ConstantsSection> section = readSectionAt(bytes, start, attachedOffset)) {
            if (attachedLength > size - attachedOffset) {
                return section;
            }
            size_t at = alignedBlock(attachedOffset + attachedLength, start);
            section->cache = readCacheBlock(bytes, size, at);
            if (section->cache) {
                at = alignedBlock(at, start);
            }
            section->options = readOptionsBlock(bytes, size, at);
            return section;
        }
    }
    return std::nullopt;
}
