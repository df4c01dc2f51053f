#include "packer/image/coff_object.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

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
constexpr uint32_t lengthOffset = 0; // uint64 total length of the attached data

} // namespace

ConstantsObjectWriter::ConstantsObjectWriter(FILE* stream, std::filesystem::path path,
                                             const BuildConstants& constants)
    : stream_(stream), path_(std::move(path)) {
    std::vector<unsigned char> head;
    // File header; the symbol table's offset is patched in by finish().
    put16(head, machineAmd64);
    put16(head, 1); // sections
    put32(head, 0); // time stamp: none, so equal inputs give equal objects
    put32(head, 0); // symbol table offset
    put32(head, 5); // symbols
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

    // Section data: the length, the three strings, then the attached data.
    std::vector<unsigned char> data(8, 0);
    const std::u16string* strings[3] = {&constants.companyName, &constants.productName,
                                        &constants.versionString};
    for (int i = 0; i < 3; ++i) {
        stringOffsets_[i] = static_cast<uint32_t>(data.size());
        for (char16_t unit : *strings[i]) {
            put16(data, unit);
        }
        put16(data, 0);
    }
    while (data.size() % 16 != 0) {
        data.push_back(0);
    }
    dataOffset_ = static_cast<uint32_t>(data.size());
    head.insert(head.end(), data.begin(), data.end());
    if (std::fwrite(head.data(), 1, head.size(), stream_) != head.size()) {
        throw PackError("cannot write " + quoteForMessage(path_.string()) + ": " +
                        systemErrorText(errno));
    }
}

void ConstantsObjectWriter::write(const void* data, size_t size) {
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
    const uint32_t sectionSize = dataOffset_ + static_cast<uint32_t>(attachedLength_);
    const uint32_t symbolTableOffset = sectionDataOffset + sectionSize;

    struct Symbol {
        const char* name;
        uint32_t value;
    };
    const Symbol symbols[5] = {
        {ONEFILE_SYMBOL_ATTACHED_DATA, dataOffset_},
        {ONEFILE_SYMBOL_ATTACHED_DATA_LENGTH, lengthOffset},
        {ONEFILE_SYMBOL_COMPANY_NAME, stringOffsets_[0]},
        {ONEFILE_SYMBOL_PRODUCT_NAME, stringOffsets_[1]},
        {ONEFILE_SYMBOL_VERSION_STRING, stringOffsets_[2]},
    };
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
    storeLittleEndian(field, sectionSize, 4);
    writeAt(fileHeaderSize + 16, field, 4);
    storeLittleEndian(field, attachedLength_, 8);
    writeAt(sectionDataOffset + lengthOffset, field, 8);
}
