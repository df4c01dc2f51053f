#include "packer/tests/linked_pe_builder.h"

#include "packer/little_endian.h"

namespace {

constexpr uint32_t sectionRva = 0x1000;
constexpr uint32_t sectionFileOffset = 0x400;

// The section's bytes, grown piece by piece; each piece's address returned.
class Section {
  public:
    uint32_t add(const std::string& piece) {
        uint32_t address = sectionRva + static_cast<uint32_t>(bytes.size());
        bytes += piece;
        while (bytes.size() % 8 != 0) {
            bytes.push_back('\0');
        }
        return address;
    }
    uint32_t reserve(size_t size) { return add(std::string(size, '\0')); }
    void set(uint32_t address, uint64_t value, size_t size) {
        storeLittleEndian(reinterpret_cast<unsigned char*>(&bytes[address - sectionRva]), value,
                          size);
    }
    std::string bytes;
};

} // namespace

LinkedPe buildLinkedPe(const LinkageSpec& spec) {
    Section section;
    const size_t width = spec.pe32Plus ? 8 : 4;
    const uint64_t imageBase = spec.pe32Plus ? 0x180000000 : 0x10000000;
    const auto pointer = [&](uint32_t address) {
        return spec.delayVirtualAddresses ? imageBase + address : address;
    };

    LinkedPe pe;
    // Exports: the directory, the addresses, the names and their ordinals.
    uint32_t exportDirectory = 0;
    if (!spec.exports.empty()) {
        const size_t count = spec.exports.size();
        exportDirectory = section.reserve(40);
        const uint32_t functions = section.reserve(4 * count);
        const uint32_t names = section.reserve(4 * count);
        pe.exportedNames = sectionFileOffset + (names - sectionRva);
        const uint32_t ordinals = section.reserve(2 * count);
        section.set(exportDirectory + 16, spec.ordinalBase, 4);
        section.set(exportDirectory + 20, count, 4);
        section.set(exportDirectory + 24, count, 4);
        section.set(exportDirectory + 28, functions, 4);
        section.set(exportDirectory + 32, names, 4);
        section.set(exportDirectory + 36, ordinals, 4);
        for (size_t i = 0; i < count; ++i) {
            section.set(functions + 4 * i, sectionRva, 4);
            section.set(names + 4 * i, section.add(spec.exports[i] + '\0'), 4);
            section.set(ordinals + 2 * i, i, 2);
        }
    }

    // The descriptors of each table, with a zero one after the last.
    std::vector<const ImportSpec*> direct, delayed;
    for (const ImportSpec& import : spec.imports) {
        (import.delayLoaded ? delayed : direct).push_back(&import);
    }
    const uint32_t importTable = direct.empty() ? 0 : section.reserve(20 * (direct.size() + 1));
    const uint32_t delayTable = delayed.empty() ? 0 : section.reserve(32 * (delayed.size() + 1));
    size_t directIndex = 0, delayIndex = 0;
    for (const ImportSpec& import : spec.imports) {
        const uint32_t thunks = section.reserve(width * (import.functions.size() + 1));
        if (pe.firstThunk == 0) {
            pe.firstThunk = sectionFileOffset + (thunks - sectionRva);
        }
        for (size_t i = 0; i < import.functions.size(); ++i) {
            const std::string& function = import.functions[i];
            uint64_t entry = 0;
            if (function[0] == '#') {
                entry = (uint64_t{1} << (width * 8 - 1)) | std::stoul(function.substr(1));
            } else {
                // A two-byte hint, then the name.
                const uint32_t byName = section.add(std::string(2, '\0') + function + '\0');
                entry = import.delayLoaded ? pointer(byName) : byName;
            }
            section.set(thunks + width * i, entry, width);
        }
        const uint32_t name = section.add(import.library + '\0');
        if (import.delayLoaded) {
            const uint32_t at = delayTable + 32 * delayIndex++;
            section.set(at, spec.delayVirtualAddresses ? 0 : 1, 4);
            section.set(at + 4, pointer(name), 4);
            section.set(at + 16, pointer(thunks), 4);
        } else {
            const uint32_t at = importTable + 20 * directIndex++;
            section.set(at, thunks, 4);
            section.set(at + 12, name, 4);
            section.set(at + 16, thunks, 4); // the address table starts as a copy
        }
    }

    // Headers: DOS stub, PE signature, file header, optional header, the
    // section table.
    std::string& out = pe.bytes;
    out.assign(sectionFileOffset, '\0');
    auto put = [&out](size_t at, uint64_t value, size_t size) {
        storeLittleEndian(reinterpret_cast<unsigned char*>(&out[at]), value, size);
    };
    out[0] = 'M';
    out[1] = 'Z';
    const size_t peOffset = 0x80;
    put(0x3C, peOffset, 4);
    out.replace(peOffset, 4, std::string("PE\0\0", 4));
    const size_t optional = peOffset + 24;
    const size_t directories = optional + (spec.pe32Plus ? 112 : 96);
    const size_t optionalSize = directories + 16 * 8 - optional;
    put(peOffset + 4, spec.machine, 2);
    put(peOffset + 6, spec.sectionBefore ? 2 : 1, 2);
    put(peOffset + 20, optionalSize, 2);
    put(peOffset + 22, 0x2022, 2); // an executable image, large-address aware, a DLL
    put(optional, spec.pe32Plus ? 0x20B : 0x10B, 2);
    if (spec.pe32Plus) {
        put(optional + 24, imageBase, 8);
    } else {
        put(optional + 28, imageBase, 4);
    }
    put(optional + 60, sectionFileOffset, 4); // size of the headers
    put(optional + 68, 2, 2);                 // GUI
    put(directories - 4, 16, 4);
    put(directories, exportDirectory, 4);
    put(directories + 4, spec.exports.empty() ? 0 : 40, 4);
    pe.importDirectoryEntry = directories + 8;
    put(directories + 8, importTable, 4);
    put(directories + 12, importTable == 0 ? 0 : 20 * (direct.size() + 1), 4);
    put(directories + 13 * 8, delayTable, 4);
    put(directories + 13 * 8 + 4, delayTable == 0 ? 0 : 32 * (delayed.size() + 1), 4);
    size_t header = directories + 16 * 8;
    const uint32_t codeSize = 0x800;
    const size_t codeOffset = sectionFileOffset + section.bytes.size();
    if (spec.sectionBefore) {
        out.replace(header, 5, ".text");
        put(header + 8, codeSize, 4);
        put(header + 12, sectionRva - codeSize, 4);
        put(header + 16, codeSize, 4);
        put(header + 20, codeOffset, 4);
        header += 40;
    }
    out.replace(header, 5, ".data");
    put(header + 8, section.bytes.size(), 4);
    put(header + 12, sectionRva, 4);
    put(header + 16, section.bytes.size(), 4);
    put(header + 20, sectionFileOffset, 4);
    pe.firstDescriptor = importTable == 0 ? 0 : sectionFileOffset + (importTable - sectionRva);
    out += section.bytes;
    if (spec.sectionBefore) {
        out.append(codeSize, '\xCC');
    }
    return pe;
}
