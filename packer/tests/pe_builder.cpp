#include "packer/tests/pe_builder.h"

#include "packer/little_endian.h"

namespace {

constexpr uint32_t page = 0x1000;
constexpr uint32_t fileAlignment = 0x200;

size_t alignedUp(size_t value, size_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

void store(std::string& bytes, size_t at, uint64_t value, size_t count) {
    storeLittleEndian(reinterpret_cast<unsigned char*>(&bytes[at]), value, count);
}

} // namespace

BuiltPe buildPe(const PeSpec& spec) {
    BuiltPe pe;
    pe.peOffset = 0x40;
    const size_t fileHeader = pe.peOffset + 4;
    const size_t directories = 16;
    const size_t directoriesAt = spec.pe32Plus ? 112 : 96;
    const size_t optionalSize = directoriesAt + 8 * directories;
    const size_t sectionCount = 1 + spec.extraSections;
    // The headers, then the exports' section: in the file past them, in
    // memory on the first page above them.
    const uint32_t sectionOffset = static_cast<uint32_t>(
        alignedUp(fileHeader + 20 + optionalSize + 40 * sectionCount, fileAlignment));
    const uint32_t sectionAddress = static_cast<uint32_t>(alignedUp(sectionOffset, page));
    std::string& out = pe.bytes;
    out.assign(sectionOffset, '\0');
    out[0] = 'M';
    out[1] = 'Z';
    store(out, 0x3C, pe.peOffset, 4);
    out.replace(pe.peOffset, 4, std::string("PE\0\0", 4));
    store(out, fileHeader, spec.machine, 2);
    store(out, fileHeader + 2, sectionCount, 2);
    store(out, fileHeader + 16, optionalSize, 2);
    store(out, fileHeader + 18, spec.characteristics, 2);
    pe.optionalOffset = fileHeader + 20;
    pe.directoriesOffset = pe.optionalOffset + directoriesAt;
    store(out, pe.optionalOffset, spec.pe32Plus ? 0x20B : 0x10B, 2);
    store(out, pe.optionalOffset + 60, sectionOffset, 4); // size of the headers
    store(out, pe.optionalOffset + 68, 2, 2);             // GUI
    store(out, pe.optionalOffset + directoriesAt - 4, directories, 4);

    // The exports' section: the export directory, its tables and the names.
    std::string section(40, '\0');
    const size_t count = spec.exports.size();
    const uint32_t names = sectionAddress + 40;
    const uint32_t ordinals = names + 4 * count;
    const uint32_t functions = ordinals + 2 * count;
    section.resize(40 + 10 * count, '\0');
    store(section, 20, count, 4); // functions
    store(section, 24, count, 4); // names
    store(section, 28, functions, 4);
    store(section, 32, names, 4);
    store(section, 36, ordinals, 4);
    for (size_t i = 0; i < count; ++i) {
        store(section, names - sectionAddress + 4 * i, sectionAddress + section.size(), 4);
        section += spec.exports[i] + '\0';
        store(section, ordinals - sectionAddress + 2 * i, i, 2);
        store(section, functions - sectionAddress + 4 * i, sectionAddress, 4);
    }
    pe.namesEnd = sectionOffset + section.size();
    pe.exportedNames = sectionOffset + (names - sectionAddress);
    const size_t sectionHeader = pe.optionalOffset + optionalSize;
    out.replace(sectionHeader, 6, ".edata");
    store(out, sectionHeader + 8, section.size(), 4);
    store(out, sectionHeader + 12, sectionAddress, 4);
    store(out, sectionHeader + 16, section.size(), 4);
    store(out, sectionHeader + 20, sectionOffset, 4);
    const size_t exportPages = alignedUp(section.size(), page) / page;
    for (size_t i = 1; i <= spec.extraSections; ++i) {
        const size_t slot = spec.extraSectionsReversed ? spec.extraSections + 1 - i : i;
        const size_t header = sectionHeader + 40 * i;
        out.replace(header, 6, ".extra");
        store(out, header + 8, page, 4);
        store(out, header + 12, sectionAddress + (exportPages + slot - 1) * page, 4);
    }
    store(out, pe.directoriesOffset, sectionAddress, 4); // exports
    store(out, pe.directoriesOffset + 4, 40 + 10 * count, 4);
    pe.exportDirectory = sectionOffset;
    out += section;
    if (!spec.certificate.empty()) {
        store(out, pe.directoriesOffset + 8 * 4, out.size(), 4);
        store(out, pe.directoriesOffset + 8 * 4 + 4, spec.certificate.size(), 4);
        out += spec.certificate;
    }
    return pe;
}
