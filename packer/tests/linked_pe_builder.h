// PE images made in memory with import, delay-load import and export tables,
// for the tests of the table reader: sound ones of either format, and the
// places of the fields that tests damage. (MinGW's linker writes no
// delay-load directory, so real images cannot show one.)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ImportSpec {
    std::string library;
    std::vector<std::string> functions; // "#5" imports ordinal 5
    bool delayLoaded = false;
};

struct LinkageSpec {
    bool pe32Plus = true;
    uint16_t machine = 0x8664;
    std::vector<ImportSpec> imports;
    std::vector<std::string> exports; // ordinals from ordinalBase on, in this order
    uint32_t ordinalBase = 1;
    // Delay-load descriptors with virtual addresses, as older linkers wrote
    // them for 32-bit images.
    bool delayVirtualAddresses = false;
    // A code section before the tables' one, whose last byte lies right
    // below the tables' first.
    bool sectionBefore = false;
};

struct LinkedPe {
    std::string bytes;
    size_t importDirectoryEntry = 0; // the data directory's entry, in the file
    size_t firstDescriptor = 0;      // the first import descriptor, in the file
    size_t firstThunk = 0;           // the first import's first lookup entry
    size_t exportedNames = 0;        // the addresses of the exported names
};

LinkedPe buildLinkedPe(const LinkageSpec& spec);
