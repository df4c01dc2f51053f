// What the Windows loader needs of an image besides its headers: the
// libraries it imports, at load time or delay-loaded, with the functions it
// takes from each by name or by ordinal, and the functions it exports itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

// A function imported by name, or by ordinal when `ordinal` is set.
struct ImportedName {
    std::optional<uint16_t> ordinal;
    std::string name;
};

struct LibraryImport {
    std::string library; // as the image names it
    bool delayLoaded = false;
    std::vector<ImportedName> functions;
};

struct ImageLinkage {
    uint16_t machine = 0;
    uint16_t subsystem = 0;
    bool dll = false;
    std::vector<LibraryImport> imports;
    std::unordered_set<std::string> exportedNames;
    uint32_t ordinalBase = 0;
    std::vector<bool> exportedOrdinals; // ordinalBase + i is exported

    // Whether the image exports what an importer asks for.
    bool exports(const ImportedName& function) const;
};

// The linkage of the image in `bytes`. Nothing, with `problem` empty, when
// they hold no PE image (data that merely looks alike is not the loader's
// business); nothing, with the reason in `problem`, when a table is damaged.
std::optional<ImageLinkage> readImageLinkage(const unsigned char* bytes, size_t size,
                                             std::string* problem);

// Why the file cannot serve as the entry library, as entryLibraryProblem
// says it, with the way out when the cause is a common mistake: run_code
// defined in C++ without C linkage, exported under its decorated name.
std::string entryLibraryDiagnosis(const unsigned char* bytes, size_t size);

// "ordinal 5" or the name, for messages.
std::string importedNameText(const ImportedName& function);
