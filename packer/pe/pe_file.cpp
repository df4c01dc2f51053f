#include "packer/pe/pe_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "formats/archive_layout.h"
#include "formats/image_tables.h"
#include "packer/little_endian.h"

namespace {

constexpr size_t exportDirectorySize = 40;
constexpr size_t certificateHeaderSize = 8; // WIN_CERTIFICATE without its data

// Whether `length` bytes at `offset` lie inside `size`, without overflow.
bool inside(uint64_t offset, uint64_t length, uint64_t size) {
    return offset <= size && length <= size - offset;
}

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

// The bytes of a section that the file holds: past its raw data a section
// holds zeros that the file does not.
uint64_t mappedSize(const PeSection& section) {
    if (section.virtualSize != 0 && section.virtualSize < section.rawSize) {
        return section.virtualSize;
    }
    return section.rawSize;
}

const char* const notPe = "is not a PE file: ";
const char* const damagedPe = "is a damaged PE file: ";

} // namespace

std::string soundEntryDescription() {
    return std::string("a PE32+ DLL for x86-64 that exports ") + entryFunctionName;
}

std::string machineName(uint16_t machine) {
    switch (machine) {
    case coff::machineAmd64:
        return "x86-64";
    case coff::machineI386:
        return "x86";
    case coff::machineArm64:
        return "ARM64";
    default:
        return "machine " + hex(machine);
    }
}

PeSection readSectionHeader(const unsigned char* header) {
    PeSection section;
    const char* name = reinterpret_cast<const char*>(header);
    section.name.assign(name, std::find(name, name + coff::sectionNameSize, '\0'));
    section.virtualSize = load32(header + coff::sectionVirtualSizeField);
    section.virtualAddress = load32(header + coff::sectionAddressField);
    section.rawSize = load32(header + coff::sectionRawSizeField);
    section.rawOffset = load32(header + coff::sectionRawOffsetField);
    section.characteristics = load32(header + coff::sectionCharacteristicsField);
    return section;
}

void storeSectionHeader(unsigned char* header, const PeSection& section) {
    std::fill(header, header + coff::sectionHeaderSize, 0);
    std::copy_n(section.name.begin(), std::min(section.name.size(), coff::sectionNameSize), header);
    storeLittleEndian(header + coff::sectionVirtualSizeField, section.virtualSize, 4);
    storeLittleEndian(header + coff::sectionAddressField, section.virtualAddress, 4);
    storeLittleEndian(header + coff::sectionRawSizeField, section.rawSize, 4);
    storeLittleEndian(header + coff::sectionRawOffsetField, section.rawOffset, 4);
    storeLittleEndian(header + coff::sectionCharacteristicsField, section.characteristics, 4);
}

std::optional<PeImage> readPeImage(const unsigned char* bytes, size_t size, std::string* problem) {
    if (size < 2 || bytes[0] != 'M' || bytes[1] != 'Z') {
        *problem = std::string(notPe) + "it does not begin with \"MZ\"";
        return std::nullopt;
    }
    if (size < pe::dosHeaderSize) {
        *problem = std::string(notPe) + "it ends inside its DOS header";
        return std::nullopt;
    }
    const uint64_t peOffset = load32(bytes + pe::peHeaderOffsetField);
    if (!inside(peOffset, sizeof pe::signature + coff::fileHeaderSize, size) ||
        std::memcmp(bytes + peOffset, pe::signature, sizeof pe::signature) != 0) {
        *problem = std::string(notPe) + "no PE signature where its DOS header points (offset " +
                   std::to_string(peOffset) + ")";
        return std::nullopt;
    }
    const unsigned char* fileHeader = bytes + peOffset + sizeof pe::signature;
    PeImage image;
    image.machine = load16(fileHeader);
    const size_t sectionCount = load16(fileHeader + coff::sectionCountField);
    const size_t optionalSize = load16(fileHeader + coff::optionalHeaderSizeField);
    image.characteristics = load16(fileHeader + coff::characteristicsField);

    const uint64_t optionalOffset = peOffset + sizeof pe::signature + coff::fileHeaderSize;
    if (optionalSize < 2 || !inside(optionalOffset, optionalSize, size)) {
        *problem = std::string(damagedPe) + "its optional header is cut short";
        return std::nullopt;
    }
    const unsigned char* optional = bytes + optionalOffset;
    image.optionalHeaderOffset = static_cast<size_t>(optionalOffset);
    image.magic = load16(optional);
    if (image.magic != pe::magicPe32 && image.magic != pe::magicPe32Plus) {
        *problem = std::string(damagedPe) + "its optional header's magic " + hex(image.magic) +
                   " is neither PE32 nor PE32+";
        return std::nullopt;
    }
    const pe::OptionalHeaderShape& shape =
        image.magic == pe::magicPe32Plus ? pe::pe32PlusShape : pe::pe32Shape;
    if (optionalSize < shape.directoriesOffset) {
        *problem = std::string(damagedPe) + "its optional header is cut short";
        return std::nullopt;
    }
    image.initialisedDataSize = load32(optional + pe::initialisedDataSizeField);
    if (image.magic == pe::magicPe32Plus) {
        image.imageBase = loadLittleEndian(optional + pe::imageBaseField, 8);
    }
    image.sectionAlignment = load32(optional + pe::sectionAlignmentField);
    image.fileAlignment = load32(optional + pe::fileAlignmentField);
    image.imageSize = load32(optional + pe::imageSizeField);
    image.headersSize = load32(optional + pe::headersSizeField);
    image.checksum = load32(optional + pe::checksumField);
    image.subsystem = load16(optional + pe::subsystemField);
    // Only the directories that the header has room for count.
    const uint64_t directories =
        std::min<uint64_t>(load32(optional + shape.directoryCountField),
                           (optionalSize - shape.directoriesOffset) / pe::directoryEntrySize);
    for (uint64_t i = 0; i < directories; ++i) {
        const unsigned char* at = optional + shape.directoriesOffset + i * pe::directoryEntrySize;
        image.directories.push_back({load32(at), load32(at + 4)});
    }
    auto directory = [&](size_t index) {
        return index < image.directories.size() ? image.directories[index] : PeDirectory{};
    };
    image.exports = directory(pe::exportDirectory);
    image.certificates = directory(pe::certificateDirectory);

    const uint64_t sectionTable = optionalOffset + optionalSize;
    if (!inside(sectionTable, sectionCount * coff::sectionHeaderSize, size)) {
        *problem = std::string(damagedPe) + "its section table is cut short";
        return std::nullopt;
    }
    image.sectionTableOffset = static_cast<size_t>(sectionTable);
    image.sectionsInOrder =
        sectionsInAddressOrder(bytes + sectionTable, static_cast<uint32_t>(sectionCount));
    if (!image.sectionsInOrder && sectionCount > unorderedSectionLimit) {
        *problem = unorderedSectionsProblem(sectionCount);
        return std::nullopt;
    }
    for (size_t i = 0; i < sectionCount; ++i) {
        image.sections.push_back(
            readSectionHeader(bytes + sectionTable + i * coff::sectionHeaderSize));
    }
    return image;
}

std::string unorderedSectionsProblem(size_t count) {
    return std::string(damagedPe) + "its " + std::to_string(count) +
           " sections are not in the order of their addresses, which Windows requires";
}

std::optional<size_t> fileOffsetOf(const PeImage& image, size_t fileSize, uint32_t address,
                                   uint32_t length) {
    if (inside(address, length, image.headersSize) && inside(address, length, fileSize)) {
        return address;
    }
    auto first = image.sections.begin(), last = image.sections.end();
    // Only the last section that begins at or below the address can hold
    // bytes there. (An empty range at the end of one section, which may also
    // begin the next, is left to the search in the table's order.)
    if (image.sectionsInOrder && length > 0) {
        last = std::upper_bound(first, last, address, [&](uint32_t wanted, const PeSection& at) {
            ++image.sectionsExamined;
            return wanted < at.virtualAddress;
        });
        if (last == first) {
            return std::nullopt;
        }
        first = last - 1;
    }
    for (auto section = first; section != last; ++section) {
        ++image.sectionsExamined;
        const uint64_t mapped = mappedSize(*section);
        if (address >= section->virtualAddress &&
            inside(address - uint64_t{section->virtualAddress}, length, mapped)) {
            uint64_t offset = uint64_t{section->rawOffset} + (address - section->virtualAddress);
            if (inside(offset, length, fileSize)) {
                return static_cast<size_t>(offset);
            }
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<uint32_t> addressOfFileOffset(const PeImage& image, uint64_t offset) {
    for (const PeSection& section : image.sections) {
        const uint64_t mapped = mappedSize(section);
        if (offset >= section.rawOffset && offset - section.rawOffset < mapped) {
            return static_cast<uint32_t>(section.virtualAddress + (offset - section.rawOffset));
        }
    }
    return std::nullopt;
}

std::optional<bool> exportsFunction(const PeImage& image, const unsigned char* bytes, size_t size,
                                    std::string_view name, std::string* problem) {
    if (image.exports.address == 0 && image.exports.size == 0) {
        return false;
    }
    std::optional<size_t> directory =
        fileOffsetOf(image, size, image.exports.address, exportDirectorySize);
    if (!directory) {
        *problem = std::string(damagedPe) + "its export directory lies outside the file";
        return std::nullopt;
    }
    const unsigned char* exports = bytes + *directory;
    const uint64_t nameCount = load32(exports + 24);
    const uint32_t namesAddress = load32(exports + 32);
    std::optional<size_t> names =
        nameCount * 4 <= UINT32_MAX
            ? fileOffsetOf(image, size, namesAddress, static_cast<uint32_t>(nameCount * 4))
            : std::nullopt;
    if (nameCount > 0 && !names) {
        *problem = std::string(damagedPe) + "its table of exported names lies outside the file";
        return std::nullopt;
    }
    for (uint64_t i = 0; i < nameCount; ++i) {
        // A name that does not fit the file whole cannot be this one.
        std::optional<size_t> text = fileOffsetOf(image, size, load32(bytes + *names + 4 * i),
                                                  static_cast<uint32_t>(name.size() + 1));
        if (text && std::memcmp(bytes + *text, name.data(), name.size()) == 0 &&
            bytes[*text + name.size()] == 0) {
            return true;
        }
    }
    return false;
}

std::string entryLibraryProblem(const unsigned char* bytes, size_t size) {
    std::string problem;
    std::optional<PeImage> image = readPeImage(bytes, size, &problem);
    if (!image) {
        return problem;
    }
    if (image->magic == pe::magicPe32) {
        return "is a 32-bit (PE32) image for " + machineName(image->machine) +
               "; the entry must be a 64-bit (PE32+) DLL for x86-64";
    }
    if (image->machine != coff::machineAmd64) {
        return "is built for " + machineName(image->machine) + ", not for x86-64";
    }
    if (!(image->characteristics & pe::characteristicDll)) {
        return "is a program, not a DLL";
    }
    std::optional<bool> exported =
        exportsFunction(*image, bytes, size, entryFunctionName, &problem);
    if (!exported) {
        return problem;
    }
    if (!*exported) {
        return std::string("does not export ") + entryFunctionName;
    }
    return {};
}

std::optional<CertificateTable> certificateTable(const PeImage& image, size_t fileSize) {
    const PeDirectory& table = image.certificates;
    if (table.size < certificateHeaderSize || !inside(table.address, table.size, fileSize)) {
        return std::nullopt;
    }
    return CertificateTable{table.address, table.size};
}
