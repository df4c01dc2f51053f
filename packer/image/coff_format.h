// COFF constants: those that the packer's two object writers (attached data
// and build constants, resources) share, and those of the file header that
// PE images begin with too.
#pragma once

#include <cstdint>

namespace coff {

constexpr uint16_t machineAmd64 = 0x8664;
constexpr uint16_t machineI386 = 0x014C;
constexpr uint16_t machineArm64 = 0xAA64;
constexpr uint32_t fileHeaderSize = 20;
constexpr uint32_t sectionHeaderSize = 40;
constexpr uint32_t symbolSize = 18;
// The one section of each object follows the file and section headers.
constexpr uint32_t sectionDataOffset = fileHeaderSize + sectionHeaderSize;
// Section flags: initialised data, readable.
constexpr uint32_t initialisedData = 0x00000040;
constexpr uint32_t readable = 0x40000000;
constexpr uint32_t align4 = 0x00300000;
constexpr uint32_t align16 = 0x00500000;

} // namespace coff
