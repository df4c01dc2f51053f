// Bounded reading of a PE image's import, delay-load import and export
// tables from the bytes of its file: the packer checks with it that every
// library a package imports will be found, and the child, once the entry
// library has failed to load, finds with it what was missing. Every offset
// and count is checked against the bytes at hand, so a damaged or hostile
// file ends a walk as damaged instead of leading a read outside it. Nothing
// here allocates or needs a run-time library.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "formats/pe_format.h"

// A range of the image by its relative virtual address.
struct ImageRange {
    uint32_t address;
    uint32_t size;
};

// What a walk over a table gives next.
enum class TableStep { item, end, damaged };

struct ImageTables {
    const unsigned char* bytes;
    size_t size;
    bool pe32Plus;
    uint16_t machine;
    uint16_t characteristics;
    uint16_t subsystem;
    uint64_t imageBase;
    uint32_t headersSize;
    size_t sectionTable; // its offset in the file
    uint32_t sectionCount;
    // The sections lie in ascending order of address, none reaching into the
    // next, as Windows lays them out: an address is then found by halving.
    bool sectionsInOrder;
    // Section headers that the look-ups of addresses have examined, which
    // tests hold to a bound.
    mutable uint64_t sectionsExamined;
    ImageRange exports;
    ImageRange imports;
    ImageRange delayImports;
};

// Longest library or function name a walk hands out; a longer one counts as
// damage (the loader's own names are far shorter).
constexpr size_t imageNameLimit = 4096;

// Sections out of address order are searched one by one for every look-up.
// The Windows loader refuses an image whose sections are out of order, and
// loaders before Vista any image of more than 96 sections: a reader may
// refuse more than these out of order as damage rather than search them.
constexpr uint32_t unorderedSectionLimit = 96;

namespace imagetables {

using coff::fileHeaderSize;
using coff::sectionHeaderSize;
using pe::magicPe32;
using pe::magicPe32Plus;
constexpr size_t importDescriptorSize = 20;
constexpr size_t delayDescriptorSize = 32;
constexpr size_t exportDirectorySize = 40;
// Data directories: exports, imports, delay-load imports.
constexpr uint32_t exportIndex = pe::exportDirectory;
constexpr uint32_t importIndex = pe::importDirectory;
constexpr uint32_t delayImportIndex = pe::delayImportDirectory;
// A delay-load descriptor whose addresses are relative, not virtual.
constexpr uint32_t delayRelativeAddresses = 1;

inline uint64_t load(const unsigned char* at, size_t count) {
    uint64_t value = 0;
    for (size_t i = count; i > 0; --i) {
        value = (value << 8) | at[i - 1];
    }
    return value;
}

// Whether `length` bytes at `offset` lie inside `size`, without overflow.
inline bool inside(uint64_t offset, uint64_t length, uint64_t size) {
    return offset <= size && length <= size - offset;
}

inline uint64_t sectionAddress(const unsigned char* header) {
    return load(header + 12, 4);
}

// The bytes of a section that the file holds: past its raw data a section
// holds zeros that the file does not.
inline uint64_t sectionFileBytes(const unsigned char* header) {
    const uint64_t virtualSize = load(header + 8, 4);
    const uint64_t rawSize = load(header + 16, 4);
    return virtualSize != 0 && virtualSize < rawSize ? virtualSize : rawSize;
}

} // namespace imagetables

// Whether the `count` section headers at `table` lie in ascending order of
// address, each beginning at or past the end of the file's bytes of the one
// before it. Then only the last section that begins at or below an address
// can hold it.
inline bool sectionsInAddressOrder(const unsigned char* table, uint32_t count) {
    using namespace imagetables;
    uint64_t end = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const unsigned char* header = table + i * sectionHeaderSize;
        if (sectionAddress(header) < end) {
            return false;
        }
        end = sectionAddress(header) + sectionFileBytes(header);
    }
    return true;
}

// Reads the headers of the image in `bytes`; false when they are not those
// of a PE image or lie outside the bytes.
inline bool openImageTables(ImageTables* image, const unsigned char* bytes, size_t size) {
    using namespace imagetables;
    *image = ImageTables{};
    image->bytes = bytes;
    image->size = size;
    if (size < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z') {
        return false;
    }
    const uint64_t pe = load(bytes + 0x3C, 4);
    if (!inside(pe, 4 + fileHeaderSize, size) || bytes[pe] != 'P' || bytes[pe + 1] != 'E' ||
        bytes[pe + 2] != 0 || bytes[pe + 3] != 0) {
        return false;
    }
    const unsigned char* file = bytes + pe + 4;
    image->machine = static_cast<uint16_t>(load(file, 2));
    image->sectionCount = static_cast<uint32_t>(load(file + 2, 2));
    const uint64_t optionalSize = load(file + 16, 2);
    image->characteristics = static_cast<uint16_t>(load(file + 18, 2));
    const uint64_t optionalOffset = pe + 4 + fileHeaderSize;
    if (optionalSize < 2 || !inside(optionalOffset, optionalSize, size)) {
        return false;
    }
    const unsigned char* optional = bytes + optionalOffset;
    const uint64_t magic = load(optional, 2);
    if (magic != magicPe32 && magic != magicPe32Plus) {
        return false;
    }
    image->pe32Plus = magic == magicPe32Plus;
    const uint64_t countField = image->pe32Plus ? 108 : 92;
    const uint64_t directoriesOffset = countField + 4;
    if (optionalSize < directoriesOffset) {
        return false;
    }
    image->imageBase = image->pe32Plus ? load(optional + 24, 8) : load(optional + 28, 4);
    image->headersSize = static_cast<uint32_t>(load(optional + 60, 4));
    image->subsystem = static_cast<uint16_t>(load(optional + 68, 2));
    // Only the directories that the header has room for count.
    uint64_t directories = load(optional + countField, 4);
    if (directories > (optionalSize - directoriesOffset) / 8) {
        directories = (optionalSize - directoriesOffset) / 8;
    }
    ImageRange* wanted[] = {&image->exports, &image->imports, &image->delayImports};
    const uint32_t indices[] = {exportIndex, importIndex, delayImportIndex};
    for (size_t i = 0; i < 3; ++i) {
        if (indices[i] < directories) {
            const unsigned char* entry = optional + directoriesOffset + 8 * indices[i];
            wanted[i]->address = static_cast<uint32_t>(load(entry, 4));
            wanted[i]->size = static_cast<uint32_t>(load(entry + 4, 4));
        }
    }
    image->sectionTable = static_cast<size_t>(optionalOffset + optionalSize);
    if (!inside(image->sectionTable, uint64_t{image->sectionCount} * sectionHeaderSize, size)) {
        return false;
    }
    image->sectionsInOrder =
        sectionsInAddressOrder(bytes + image->sectionTable, image->sectionCount);
    return true;
}

// The file offset of the relative virtual address `address`, and how many
// bytes from there on the file holds of the same section (or of the
// headers); false when the address lies in none. Of sections that overlap,
// the first in the table holds it.
inline bool imageSpan(const ImageTables& image, uint64_t address, size_t* offset,
                      size_t* available) {
    using namespace imagetables;
    if (address < image.headersSize && address < image.size) {
        *offset = static_cast<size_t>(address);
        uint64_t end = image.headersSize < image.size ? image.headersSize : image.size;
        *available = static_cast<size_t>(end - address);
        return true;
    }
    const unsigned char* table = image.bytes + image.sectionTable;
    uint32_t first = 0, last = image.sectionCount;
    if (image.sectionsInOrder) {
        // The last section that begins at or below the address.
        while (first < last) {
            const uint32_t middle = first + (last - first) / 2;
            ++image.sectionsExamined;
            if (sectionAddress(table + middle * sectionHeaderSize) <= address) {
                first = middle + 1;
            } else {
                last = middle;
            }
        }
        if (first == 0) {
            return false;
        }
        last = first--;
    }
    for (uint32_t i = first; i < last; ++i) {
        const unsigned char* header = table + i * sectionHeaderSize;
        ++image.sectionsExamined;
        const uint64_t virtualAddress = sectionAddress(header);
        const uint64_t rawOffset = load(header + 20, 4);
        const uint64_t mapped = sectionFileBytes(header);
        if (address < virtualAddress || address - virtualAddress >= mapped) {
            continue;
        }
        const uint64_t at = rawOffset + (address - virtualAddress);
        if (at >= image.size) {
            return false;
        }
        uint64_t length = mapped - (address - virtualAddress);
        if (length > image.size - at) {
            length = image.size - at;
        }
        *offset = static_cast<size_t>(at);
        *available = static_cast<size_t>(length);
        return true;
    }
    return false;
}

// The file offset of `length` bytes at `address`, when the file holds them whole.
inline bool imageOffset(const ImageTables& image, uint64_t address, uint64_t length,
                        size_t* offset) {
    size_t available = 0;
    return imageSpan(image, address, offset, &available) && length <= available;
}

// The NUL-terminated text at `address`, when it ends inside its section and
// within imageNameLimit characters.
inline bool imageText(const ImageTables& image, uint64_t address, const char** text,
                      size_t* length) {
    size_t offset = 0, available = 0;
    if (!imageSpan(image, address, &offset, &available)) {
        return false;
    }
    const unsigned char* at = image.bytes + offset;
    for (size_t i = 0; i < available && i <= imageNameLimit; ++i) {
        if (at[i] == 0) {
            *text = reinterpret_cast<const char*>(at);
            *length = i;
            return true;
        }
    }
    return false;
}

// The `index`th descriptor of `size` bytes of the table at `table`, or null
// when it does not lie whole in the file.
inline const unsigned char* imageDescriptor(const ImageTables& image, const ImageRange& table,
                                            uint32_t index, size_t size) {
    size_t at = 0;
    return imageOffset(image, uint64_t{table.address} + uint64_t{index} * size, size, &at)
               ? image.bytes + at
               : nullptr;
}

// One library the image imports, from its import table or its delay-load table.
struct ImportedLibrary {
    const char* name;
    size_t nameLength;
    bool delayLoaded;
    uint64_t lookupTable;  // address of the first function's entry
    bool virtualAddresses; // the table holds virtual, not relative, addresses
};

// Where a walk over the imported libraries stands; starts zeroed.
struct ImportCursor {
    uint32_t index;
    bool delay;
};

// The next library the image imports: those of the import table first, then
// those of the delay-load table, in the order the tables list them.
inline TableStep nextImportedLibrary(const ImageTables& image, ImportCursor* cursor,
                                     ImportedLibrary* library) {
    using namespace imagetables;
    if (!cursor->delay) {
        if (image.imports.address != 0) {
            const unsigned char* descriptor =
                imageDescriptor(image, image.imports, cursor->index, importDescriptorSize);
            if (descriptor == nullptr) {
                return TableStep::damaged;
            }
            const uint64_t names = load(descriptor, 4);
            const uint64_t name = load(descriptor + 12, 4);
            const uint64_t addresses = load(descriptor + 16, 4);
            // The loader stops at the first entry without a name or an address table.
            if (name != 0 && addresses != 0) {
                ++cursor->index;
                *library = ImportedLibrary{};
                library->lookupTable = names != 0 ? names : addresses;
                return imageText(image, name, &library->name, &library->nameLength)
                           ? TableStep::item
                           : TableStep::damaged;
            }
        }
        cursor->delay = true;
        cursor->index = 0;
    }
    if (image.delayImports.address == 0) {
        return TableStep::end;
    }
    const unsigned char* descriptor =
        imageDescriptor(image, image.delayImports, cursor->index, delayDescriptorSize);
    if (descriptor == nullptr) {
        return TableStep::damaged;
    }
    const bool relative = (load(descriptor, 4) & delayRelativeAddresses) != 0;
    uint64_t name = load(descriptor + 4, 4);
    uint64_t names = load(descriptor + 16, 4);
    if (name == 0) {
        return TableStep::end;
    }
    if (!relative) {
        // Older linkers wrote virtual addresses, against the preferred base.
        if (name < image.imageBase || names < image.imageBase) {
            return TableStep::damaged;
        }
        name -= image.imageBase;
        names -= image.imageBase;
    }
    ++cursor->index;
    *library = ImportedLibrary{};
    library->delayLoaded = true;
    library->lookupTable = names;
    library->virtualAddresses = !relative;
    return imageText(image, name, &library->name, &library->nameLength) ? TableStep::item
                                                                        : TableStep::damaged;
}

// One function the image imports from a library: by ordinal or by name.
struct ImportedFunction {
    bool byOrdinal;
    uint16_t ordinal;
    const char* name;
    size_t nameLength;
};

// The next function of `library`; `index` counts the ones handed out and
// starts at 0.
inline TableStep nextImportedFunction(const ImageTables& image, const ImportedLibrary& library,
                                      uint32_t* index, ImportedFunction* function) {
    using namespace imagetables;
    const uint64_t width = image.pe32Plus ? 8 : 4;
    size_t at = 0;
    if (!imageOffset(image, library.lookupTable + uint64_t{*index} * width, width, &at)) {
        return TableStep::damaged;
    }
    const uint64_t entry = load(image.bytes + at, static_cast<size_t>(width));
    if (entry == 0) {
        return TableStep::end;
    }
    ++*index;
    *function = ImportedFunction{};
    if ((entry >> (width * 8 - 1)) != 0) {
        function->byOrdinal = true;
        function->ordinal = static_cast<uint16_t>(entry);
        return TableStep::item;
    }
    uint64_t byName = entry & 0x7FFFFFFF;
    if (library.virtualAddresses) {
        if (entry < image.imageBase) {
            return TableStep::damaged;
        }
        byName = entry - image.imageBase;
    }
    // The name follows a two-byte hint.
    return imageText(image, byName + 2, &function->name, &function->nameLength)
               ? TableStep::item
               : TableStep::damaged;
}

// The export table's counts and where its arrays lie in the file.
struct ExportTable {
    bool present;
    uint32_t ordinalBase;
    uint32_t functionCount;
    uint32_t nameCount;
    size_t functions; // file offset of the addresses, one 4-byte entry a function
    size_t names;     // file offset of the name addresses, one 4-byte entry a name
};

// Reads the export directory; false when it or its arrays lie outside the file.
inline bool openExportTable(const ImageTables& image, ExportTable* table) {
    using namespace imagetables;
    *table = ExportTable{};
    if (image.exports.address == 0) {
        return true;
    }
    size_t at = 0;
    if (!imageOffset(image, image.exports.address, exportDirectorySize, &at)) {
        return false;
    }
    const unsigned char* directory = image.bytes + at;
    table->present = true;
    table->ordinalBase = static_cast<uint32_t>(load(directory + 16, 4));
    table->functionCount = static_cast<uint32_t>(load(directory + 20, 4));
    table->nameCount = static_cast<uint32_t>(load(directory + 24, 4));
    return (table->functionCount == 0 ||
            imageOffset(image, load(directory + 28, 4), uint64_t{table->functionCount} * 4,
                        &table->functions)) &&
           (table->nameCount == 0 || imageOffset(image, load(directory + 32, 4),
                                                 uint64_t{table->nameCount} * 4, &table->names));
}

// Whether the image exports a function with `ordinal`.
inline bool exportsOrdinal(const ImageTables& image, const ExportTable& table, uint32_t ordinal) {
    if (!table.present || ordinal < table.ordinalBase ||
        ordinal - table.ordinalBase >= table.functionCount) {
        return false;
    }
    return imagetables::load(image.bytes + table.functions + 4 * (ordinal - table.ordinalBase),
                             4) != 0;
}

// The `index`th exported name; false when it lies outside the file.
inline bool exportedName(const ImageTables& image, const ExportTable& table, uint32_t index,
                         const char** name, size_t* length) {
    return index < table.nameCount &&
           imageText(image, imagetables::load(image.bytes + table.names + 4 * index, 4), name,
                     length);
}

// Whether the image exports a function named `name` of `length` characters.
inline bool exportsName(const ImageTables& image, const ExportTable& table, const char* name,
                        size_t length) {
    for (uint32_t i = 0; i < table.nameCount; ++i) {
        const char* exported = nullptr;
        size_t exportedLength = 0;
        if (!exportedName(image, table, i, &exported, &exportedLength) ||
            exportedLength != length) {
            continue;
        }
        size_t same = 0;
        while (same < length && exported[same] == name[same]) {
            ++same;
        }
        if (same == length) {
            return true;
        }
    }
    return false;
}
