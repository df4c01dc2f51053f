// A bounded reader of PE images, Windows programs and DLLs: the headers, the
// section table, the export names and the certificate table. Every offset
// and count is checked against the bytes at hand, so damaged or hostile
// input gives a reason, never a read outside them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/pe_format.h"

struct PeSection {
    std::string name; // at most eight characters
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t rawOffset = 0;
    uint32_t rawSize = 0;
    uint32_t characteristics = 0;
};

// A range of the image by its relative virtual address, or of the file for
// the certificate table.
struct PeDirectory {
    uint32_t address = 0;
    uint32_t size = 0;
};

struct PeImage {
    uint16_t machine = 0;
    uint16_t magic = 0; // pe::magicPe32 or pe::magicPe32Plus
    uint16_t characteristics = 0;
    uint16_t subsystem = 0;
    uint32_t headersSize = 0;
    uint64_t imageBase = 0; // of a PE32+ image
    uint32_t sectionAlignment = 0;
    uint32_t fileAlignment = 0;
    uint32_t imageSize = 0;
    uint32_t initialisedDataSize = 0;
    uint32_t checksum = 0;
    size_t optionalHeaderOffset = 0;      // in the file
    size_t sectionTableOffset = 0;        // in the file
    std::vector<PeDirectory> directories; // as many as the header has room for
    std::vector<PeSection> sections;
    // In ascending order of address, none reaching into the next, as read:
    // addresses are then found by halving.
    bool sectionsInOrder = false;
    // Sections that the look-ups of addresses have examined, which tests
    // hold to a bound.
    mutable uint64_t sectionsExamined = 0;
    PeDirectory exports;
    PeDirectory certificates; // a file offset, not an address
};

// A section header as the file holds it, and the same written back.
PeSection readSectionHeader(const unsigned char* header);
void storeSectionHeader(unsigned char* header, const PeSection& section);

// The headers of the image in `bytes`, or nothing with the reason in
// `problem` ("it does not begin with \"MZ\"", ...). A table of more sections
// out of address order than unorderedSectionLimit is damage.
std::optional<PeImage> readPeImage(const unsigned char* bytes, size_t size, std::string* problem);

// The reason, as words after a file's name, that a table of `count` sections
// out of address order is not read.
std::string unorderedSectionsProblem(size_t count);

// The file offset of `length` bytes at the relative virtual address `address`,
// or nothing when they do not lie whole inside the file.
std::optional<size_t> fileOffsetOf(const PeImage& image, size_t fileSize, uint32_t address,
                                   uint32_t length);

// The relative virtual address of the file offset `offset`, when it lies in
// the raw data of a section that maps it.
std::optional<uint32_t> addressOfFileOffset(const PeImage& image, uint64_t offset);

// Whether the image exports a function named `name`; nothing with the reason
// in `problem` when its export directory is damaged.
std::optional<bool> exportsFunction(const PeImage& image, const unsigned char* bytes, size_t size,
                                    std::string_view name, std::string* problem);

// Why the file cannot serve as the entry library (a PE32+ DLL for x86-64
// that exports run_code), as words to follow its name; empty when it can.
std::string entryLibraryProblem(const unsigned char* bytes, size_t size);

// What the entry check says of a sound entry library, for reports.
std::string soundEntryDescription();

// The Authenticode signature: the certificate table's place in the file.
struct CertificateTable {
    size_t offset = 0;
    size_t size = 0;
};
std::optional<CertificateTable> certificateTable(const PeImage& image, size_t fileSize);

// "x86-64", "x86", "ARM64", or the number in hexadecimal.
std::string machineName(uint16_t machine);
