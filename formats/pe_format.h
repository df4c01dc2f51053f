// The PE/COFF layout: the constants and the places of the header fields,
// in one home for the bootstrap's reader of import and export tables
// (image_tables.h) and the packer's PE reader, writer of executables and
// resource section.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace coff {

constexpr uint16_t machineAmd64 = 0x8664;
constexpr uint16_t machineI386 = 0x014C;
constexpr uint16_t machineArm64 = 0xAA64;
constexpr uint32_t fileHeaderSize = 20;
constexpr uint32_t sectionHeaderSize = 40;

// Fields of the file header.
constexpr size_t sectionCountField = 2;
constexpr size_t optionalHeaderSizeField = 16;
constexpr size_t characteristicsField = 18;

// Fields of a section header, after its eight-byte name.
constexpr size_t sectionNameSize = 8;
constexpr size_t sectionVirtualSizeField = 8;
constexpr size_t sectionAddressField = 12;
constexpr size_t sectionRawSizeField = 16;
constexpr size_t sectionRawOffsetField = 20;
constexpr size_t sectionCharacteristicsField = 36;

// Section flags.
constexpr uint32_t code = 0x00000020;
constexpr uint32_t initialisedData = 0x00000040;
constexpr uint32_t readable = 0x40000000;
constexpr uint32_t writable = 0x80000000;

} // namespace coff

namespace pe {

constexpr size_t dosHeaderSize = 0x40;
constexpr size_t peHeaderOffsetField = 0x3C;
constexpr unsigned char signature[4] = {'P', 'E', 0, 0};

constexpr uint16_t magicPe32 = 0x10B;
constexpr uint16_t magicPe32Plus = 0x20B;
constexpr uint16_t characteristicDll = 0x2000;
constexpr uint16_t subsystemGui = 2;
constexpr uint16_t subsystemConsole = 3;

// Fields of the optional header that PE32 and PE32+ share.
constexpr size_t initialisedDataSizeField = 8;
constexpr size_t sectionAlignmentField = 32;
constexpr size_t fileAlignmentField = 36;
constexpr size_t imageSizeField = 56;
constexpr size_t headersSizeField = 60;
constexpr size_t checksumField = 64;
constexpr size_t subsystemField = 68;
// Those of PE32+ alone.
constexpr size_t imageBaseField = 24;
// Where the two formats keep the number of data directories and the first.
struct OptionalHeaderShape {
    size_t directoryCountField;
    size_t directoriesOffset;
};
constexpr OptionalHeaderShape pe32Shape = {92, 96};
constexpr OptionalHeaderShape pe32PlusShape = {108, 112};

constexpr size_t directoryEntrySize = 8;
constexpr size_t exportDirectory = 0;
constexpr size_t importDirectory = 1;
constexpr size_t resourceDirectory = 2;
constexpr size_t certificateDirectory = 4; // a file offset, not an address
constexpr size_t baseRelocationDirectory = 5;
constexpr size_t delayImportDirectory = 13;

} // namespace pe
