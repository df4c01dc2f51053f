// The resources of every packed executable: the application manifest, the
// version resource and the product's icon.
#pragma once

#include <cstdint>
#include <vector>

#include "packer/image/build_constants.h"
#include "packer/image/icon.h"
#include "packer/pe/resource_section.h"

constexpr uint16_t resourceTypeIcon = 3;
constexpr uint16_t resourceTypeIconGroup = 14;
constexpr uint16_t resourceTypeVersion = 16;
constexpr uint16_t resourceTypeManifest = 24;

// The version resource (VS_VERSIONINFO): the fixed part with the version
// numbers, the "000004b0" string table of resources/version_strings.txt
// filled with the constants, and the translation language 0, code page 1200.
std::vector<unsigned char> versionResource(const BuildConstants& constants);

// All resources of the executable, each with identifier 1 except the icon
// images, which are numbered from 1 in the order of `icon`.
std::vector<Resource> executableResources(const BuildConstants& constants,
                                          const std::vector<IconImage>& icon);
