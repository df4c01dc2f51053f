#include "packer/pe/resource_section.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "packer/little_endian.h"

namespace {

constexpr uint32_t directoryHeaderSize = 16;
constexpr uint32_t directoryEntrySize = 8;
constexpr uint32_t dataEntrySize = 16;
constexpr uint32_t languageDirectorySize = directoryHeaderSize + directoryEntrySize;
constexpr uint32_t subdirectoryFlag = 0x80000000;
constexpr uint16_t languageNeutral = 0;

void directoryHeader(std::vector<unsigned char>& out, size_t idEntries) {
    put32(out, 0); // characteristics
    put32(out, 0); // time stamp: none, so equal inputs give equal sections
    put16(out, 0); // major version
    put16(out, 0); // minor version
    put16(out, 0); // named entries
    put16(out, static_cast<uint32_t>(idEntries));
}

uint32_t alignUp(uint32_t value, uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

} // namespace

ResourceSection::ResourceSection(std::vector<Resource> resources)
    : resources_(std::move(resources)) {
    std::sort(resources_.begin(), resources_.end(), [](const Resource& a, const Resource& b) {
        return a.type != b.type ? a.type < b.type : a.id < b.id;
    });
    for (size_t i = 1; i < resources_.size(); ++i) {
        if (resources_[i].type == resources_[i - 1].type &&
            resources_[i].id == resources_[i - 1].id) {
            throw std::logic_error("two resources of type " + std::to_string(resources_[i].type) +
                                   " with identifier " + std::to_string(resources_[i].id));
        }
    }
    for (const Resource& resource : resources_) {
        if (types_.empty() || types_.back() != resource.type) {
            types_.push_back(resource.type);
        }
    }

    // The directory's three levels (type, identifier, language), then the
    // data entries, then the data, each piece 8-byte aligned.
    uint32_t offset =
        directoryHeaderSize + directoryEntrySize * static_cast<uint32_t>(types_.size());
    for (uint16_t type : types_) {
        typeDirectoryOffsets_.push_back(offset);
        size_t count = std::count_if(resources_.begin(), resources_.end(),
                                     [type](const Resource& r) { return r.type == type; });
        offset += directoryHeaderSize + directoryEntrySize * static_cast<uint32_t>(count);
    }
    languageDirectoriesOffset_ = offset;
    dataEntriesOffset_ = languageDirectoriesOffset_ +
                         languageDirectorySize * static_cast<uint32_t>(resources_.size());
    offset =
        alignUp(dataEntriesOffset_ + dataEntrySize * static_cast<uint32_t>(resources_.size()), 8);
    for (const Resource& resource : resources_) {
        dataOffsets_.push_back(offset);
        if (resource.data.size() > 0x7FFFFFFF - offset) {
            throw std::length_error("the resources exceed what an image can hold");
        }
        offset = alignUp(offset + static_cast<uint32_t>(resource.data.size()), 8);
    }
    size_ = offset;
}

std::vector<unsigned char> ResourceSection::bytes(uint32_t address) const {
    std::vector<unsigned char> section;
    section.reserve(size_);
    directoryHeader(section, types_.size());
    for (size_t t = 0; t < types_.size(); ++t) {
        put32(section, types_[t]);
        put32(section, subdirectoryFlag | typeDirectoryOffsets_[t]);
    }
    for (uint16_t type : types_) {
        size_t count = std::count_if(resources_.begin(), resources_.end(),
                                     [type](const Resource& r) { return r.type == type; });
        directoryHeader(section, count);
        for (size_t i = 0; i < resources_.size(); ++i) {
            if (resources_[i].type == type) {
                put32(section, resources_[i].id);
                put32(section,
                      subdirectoryFlag | (languageDirectoriesOffset_ +
                                          languageDirectorySize * static_cast<uint32_t>(i)));
            }
        }
    }
    for (size_t i = 0; i < resources_.size(); ++i) {
        directoryHeader(section, 1);
        put32(section, languageNeutral);
        put32(section, dataEntriesOffset_ + dataEntrySize * static_cast<uint32_t>(i));
    }
    for (size_t i = 0; i < resources_.size(); ++i) {
        // Unlike the directory's own offsets, the data's place is an
        // address in the image.
        put32(section, address + dataOffsets_[i]);
        put32(section, static_cast<uint32_t>(resources_[i].data.size()));
        put32(section, 0); // code page
        put32(section, 0); // reserved
    }
    for (size_t i = 0; i < resources_.size(); ++i) {
        section.resize(dataOffsets_[i], 0);
        section.insert(section.end(), resources_[i].data.begin(), resources_[i].data.end());
    }
    section.resize(size_, 0);
    return section;
}
