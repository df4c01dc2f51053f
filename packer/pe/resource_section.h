// The executable's resource section: the resources, each language neutral,
// in a resource directory sorted by type and identifier. Laid out first, as
// its size does not depend on where it lies; its bytes then hold the
// addresses of the resources' data, which do.
#pragma once

#include <cstdint>
#include <vector>

struct Resource {
    uint16_t type = 0; // a numeric resource type (3 icon, 14 icon group, ...)
    uint16_t id = 0;   // a numeric identifier
    std::vector<unsigned char> data;
};

class ResourceSection {
  public:
    // Sorts and lays out `resources`; two of the same type and identifier
    // are a logic error.
    explicit ResourceSection(std::vector<Resource> resources);

    // The section's bytes.
    uint32_t size() const { return size_; }

    // The section's bytes when it lies at the relative virtual address
    // `address`. Equal inputs give equal bytes.
    std::vector<unsigned char> bytes(uint32_t address) const;

  private:
    std::vector<Resource> resources_;
    std::vector<uint16_t> types_;
    std::vector<uint32_t> typeDirectoryOffsets_;
    uint32_t languageDirectoriesOffset_ = 0;
    uint32_t dataEntriesOffset_ = 0;
    std::vector<uint32_t> dataOffsets_;
    uint32_t size_ = 0;
};
