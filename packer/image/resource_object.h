// The object file that carries the executable's resources: a COFF object
// for x86-64 with one .rsrc section, which the linker makes the image's
// resource directory.
#pragma once

#include <cstdint>
#include <vector>

struct Resource {
    uint16_t type = 0; // a numeric resource type (3 icon, 14 icon group, ...)
    uint16_t id = 0;   // a numeric identifier
    std::vector<unsigned char> data;
};

// The object's bytes: the resources, each language neutral, in a resource
// directory sorted by type and identifier. Equal inputs give equal bytes.
std::vector<unsigned char> resourceObject(std::vector<Resource> resources);
