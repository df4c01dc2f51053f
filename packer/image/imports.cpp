#include "packer/image/imports.h"

#include <algorithm>

#include "archive/layout.h"
#include "launch/image_tables.h"
#include "packer/image/pe_file.h"
#include "packer/text.h"

bool ImageLinkage::exports(const ImportedName& function) const {
    if (function.ordinal) {
        return *function.ordinal >= ordinalBase &&
               *function.ordinal - ordinalBase < exportedOrdinals.size() &&
               exportedOrdinals[*function.ordinal - ordinalBase];
    }
    return exportedNames.count(function.name) != 0;
}

std::string importedNameText(const ImportedName& function) {
    return function.ordinal ? "ordinal " + std::to_string(*function.ordinal) : function.name;
}

std::optional<ImageLinkage> readImageLinkage(const unsigned char* bytes, size_t size,
                                             std::string* problem) {
    problem->clear();
    ImageTables image;
    if (!openImageTables(&image, bytes, size)) {
        return std::nullopt;
    }
    ImageLinkage linkage;
    linkage.machine = image.machine;
    linkage.subsystem = image.subsystem;
    linkage.dll = (image.characteristics & pe::characteristicDll) != 0;

    ImportCursor cursor = {};
    ImportedLibrary library;
    TableStep step;
    while ((step = nextImportedLibrary(image, &cursor, &library)) == TableStep::item) {
        LibraryImport& entry = linkage.imports.emplace_back();
        entry.library.assign(library.name, library.nameLength);
        entry.delayLoaded = library.delayLoaded;
        uint32_t index = 0;
        ImportedFunction function;
        while ((step = nextImportedFunction(image, library, &index, &function)) ==
               TableStep::item) {
            ImportedName& name = entry.functions.emplace_back();
            if (function.byOrdinal) {
                name.ordinal = function.ordinal;
            } else {
                name.name.assign(function.name, function.nameLength);
            }
        }
        if (step == TableStep::damaged) {
            *problem = "is a damaged PE file: its table of the functions it imports from " +
                       entry.library + " lies outside the file";
            return std::nullopt;
        }
    }
    if (step == TableStep::damaged) {
        *problem = "is a damaged PE file: its import table lies outside the file";
        return std::nullopt;
    }

    ExportTable exports;
    if (!openExportTable(image, &exports)) {
        *problem = "is a damaged PE file: its export directory lies outside the file";
        return std::nullopt;
    }
    // Imports name ordinals in 16 bits: higher ones cannot be asked for.
    linkage.ordinalBase = exports.ordinalBase;
    const uint64_t reachable =
        exports.ordinalBase > 0xFFFF ? 0 : uint64_t{0x10000} - exports.ordinalBase;
    linkage.exportedOrdinals.resize(std::min<uint64_t>(exports.functionCount, reachable));
    for (uint32_t i = 0; i < linkage.exportedOrdinals.size(); ++i) {
        linkage.exportedOrdinals[i] = exportsOrdinal(image, exports, exports.ordinalBase + i);
    }
    for (uint32_t i = 0; i < exports.nameCount; ++i) {
        const char* name = nullptr;
        size_t length = 0;
        // A name outside the file cannot be looked up by the loader either.
        if (exportedName(image, exports, i, &name, &length)) {
            linkage.exportedNames.emplace(name, length);
        }
    }
    return linkage;
}

std::string entryLibraryDiagnosis(const unsigned char* bytes, size_t size) {
    std::string problem = entryLibraryProblem(bytes, size);
    if (problem.empty()) {
        return problem;
    }
    std::string unused;
    std::optional<ImageLinkage> linkage = readImageLinkage(bytes, size, &unused);
    if (!linkage || !linkage->dll || linkage->exportedNames.count(entryFunctionName) != 0) {
        return problem;
    }
    // g++ and clang write _Z8run_code..., MSVC ?run_code@@...: the name
    // is inside the decorated one either way.
    std::vector<std::string> decorated;
    for (const std::string& name : linkage->exportedNames) {
        if (name.find(entryFunctionName) != std::string::npos) {
            decorated.push_back(name);
        }
    }
    if (decorated.empty()) {
        return problem;
    }
    std::sort(decorated.begin(), decorated.end());
    return problem + ", only the C++-decorated name " + quoteForMessage(decorated.front()) +
           ": define it with ONEFILE_ENTRY from <onefile/entry.h> (or extern \"C\" "
           "__declspec(dllexport)), which exports it by its plain name";
}
