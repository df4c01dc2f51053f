// Small PE images made in memory for the PE reader's tests: sound ones of
// either format and machine, and the offsets of the fields that tests
// damage.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PeSpec {
    uint16_t machine = 0x8664;         // x86-64
    bool pe32Plus = true;              // PE32+ rather than PE32
    uint16_t characteristics = 0x2022; // an executable image, large-address aware, a DLL
    std::vector<std::string> exports = {"run_code"};
    std::string certificate; // the certificate table's bytes; none when empty
    // Sections without file bytes after the exports' one, each a page, at
    // ascending addresses above it, or at descending ones when reversed.
    size_t extraSections = 0;
    bool extraSectionsReversed = false;
};

struct BuiltPe {
    std::string bytes;
    size_t peOffset = 0;          // "PE\0\0"
    size_t optionalOffset = 0;    // the optional header
    size_t directoriesOffset = 0; // its data directories
    size_t exportDirectory = 0;   // the export directory, in the file
    size_t exportedNames = 0;     // the addresses of the exported names, in the file
    size_t namesEnd = 0;          // just past the last exported name's terminator
};

BuiltPe buildPe(const PeSpec& spec = {});
