#include "packer/image/resource_object.h"

#include <algorithm>
#include <stdexcept>

#include "packer/image/coff_format.h"
#include "packer/little_endian.h"

namespace {

using namespace coff;

// Initialised data, read-only, 4-byte aligned.
constexpr uint32_t sectionCharacteristics = initialisedData | align4 | readable;
constexpr uint16_t relocationAddress32NB = 3; // IMAGE_REL_AMD64_ADDR32NB: an image-relative address
constexpr uint8_t storageClassStatic = 3;
constexpr uint32_t directoryHeaderSize = 16;
constexpr uint32_t directoryEntrySize = 8;
constexpr uint32_t dataEntrySize = 16;
constexpr uint32_t subdirectoryFlag = 0x80000000;
constexpr uint16_t languageNeutral = 0;

void directoryHeader(std::vector<unsigned char>& out, size_t idEntries) {
    put32(out, 0); // characteristics
    put32(out, 0); // time stamp: none, so equal inputs give equal objects
    put16(out, 0); // major version
    put16(out, 0); // minor version
    put16(out, 0); // named entries
    put16(out, static_cast<uint32_t>(idEntries));
}

uint32_t alignUp(uint32_t value, uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

} // namespace

std::vector<unsigned char> resourceObject(std::vector<Resource> resources) {
    std::sort(resources.begin(), resources.end(), [](const Resource& a, const Resource& b) {
        return a.type != b.type ? a.type < b.type : a.id < b.id;
    });
    for (size_t i = 1; i < resources.size(); ++i) {
        if (resources[i].type == resources[i - 1].type && resources[i].id == resources[i - 1].id) {
            throw std::logic_error("two resources of type " + std::to_string(resources[i].type) +
                                   " with identifier " + std::to_string(resources[i].id));
        }
    }
    std::vector<uint16_t> types;
    for (const Resource& resource : resources) {
        if (types.empty() || types.back() != resource.type) {
            types.push_back(resource.type);
        }
    }

    // The directory's three levels (type, identifier, language), then the
    // data entries, then the data, each piece 8-byte aligned.
    const uint32_t rootSize = directoryHeaderSize + directoryEntrySize * types.size();
    std::vector<uint32_t> typeDirectoryOffsets;
    uint32_t offset = rootSize;
    for (uint16_t type : types) {
        typeDirectoryOffsets.push_back(offset);
        size_t count = std::count_if(resources.begin(), resources.end(),
                                     [type](const Resource& r) { return r.type == type; });
        offset += directoryHeaderSize + directoryEntrySize * static_cast<uint32_t>(count);
    }
    const uint32_t languageDirectoriesOffset = offset;
    const uint32_t languageDirectorySize = directoryHeaderSize + directoryEntrySize;
    const uint32_t dataEntriesOffset =
        languageDirectoriesOffset + languageDirectorySize * static_cast<uint32_t>(resources.size());
    std::vector<uint32_t> dataOffsets;
    offset =
        alignUp(dataEntriesOffset + dataEntrySize * static_cast<uint32_t>(resources.size()), 8);
    for (const Resource& resource : resources) {
        dataOffsets.push_back(offset);
        if (resource.data.size() > 0x7FFFFFFF - offset) {
            throw std::length_error("the resources exceed what an object file can hold");
        }
        offset = alignUp(offset + static_cast<uint32_t>(resource.data.size()), 8);
    }
    const uint32_t sectionSize = offset;

    std::vector<unsigned char> section;
    directoryHeader(section, types.size());
    for (size_t t = 0; t < types.size(); ++t) {
        put32(section, types[t]);
        put32(section, subdirectoryFlag | typeDirectoryOffsets[t]);
    }
    for (uint16_t type : types) {
        size_t count = std::count_if(resources.begin(), resources.end(),
                                     [type](const Resource& r) { return r.type == type; });
        directoryHeader(section, count);
        for (size_t i = 0; i < resources.size(); ++i) {
            if (resources[i].type == type) {
                put32(section, resources[i].id);
                put32(section,
                      subdirectoryFlag | (languageDirectoriesOffset +
                                          languageDirectorySize * static_cast<uint32_t>(i)));
            }
        }
    }
    for (size_t i = 0; i < resources.size(); ++i) {
        directoryHeader(section, 1);
        put32(section, languageNeutral);
        put32(section, dataEntriesOffset + dataEntrySize * static_cast<uint32_t>(i));
    }
    std::vector<uint32_t> relocations; // offsets of the fields the linker fills in
    for (size_t i = 0; i < resources.size(); ++i) {
        relocations.push_back(static_cast<uint32_t>(section.size()));
        // The data's address in the image: its offset in this section, to
        // which the linker adds the section's own address.
        put32(section, dataOffsets[i]);
        put32(section, static_cast<uint32_t>(resources[i].data.size()));
        put32(section, 0); // code page
        put32(section, 0); // reserved
    }
    for (size_t i = 0; i < resources.size(); ++i) {
        section.resize(dataOffsets[i], 0);
        section.insert(section.end(), resources[i].data.begin(), resources[i].data.end());
    }
    section.resize(sectionSize, 0);

    const uint32_t relocationsOffset = sectionDataOffset + sectionSize;
    const uint32_t symbolTableOffset =
        relocationsOffset + 10 * static_cast<uint32_t>(relocations.size());
    std::vector<unsigned char> out;
    // File header.
    put16(out, machineAmd64);
    put16(out, 1); // sections
    put32(out, 0); // time stamp
    put32(out, symbolTableOffset);
    put32(out, 1); // symbols
    put16(out, 0); // optional header size
    put16(out, 0); // characteristics
    // Section header.
    const char name[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};
    out.insert(out.end(), name, name + 8);
    put32(out, 0); // virtual size
    put32(out, 0); // virtual address
    put32(out, sectionSize);
    put32(out, sectionDataOffset);
    put32(out, relocationsOffset);
    put32(out, 0); // line numbers
    put16(out, static_cast<uint32_t>(relocations.size()));
    put16(out, 0);
    put32(out, sectionCharacteristics);
    out.insert(out.end(), section.begin(), section.end());
    for (uint32_t field : relocations) {
        put32(out, field);
        put32(out, 0); // symbol 0: the section itself
        put16(out, relocationAddress32NB);
    }
    // The section's symbol, which the relocations refer to.
    out.insert(out.end(), name, name + 8);
    put32(out, 0); // value
    put16(out, 1); // section number
    put16(out, 0); // type
    out.push_back(storageClassStatic);
    out.push_back(0); // auxiliary records
    put32(out, 4);    // an empty string table
    return out;
}
