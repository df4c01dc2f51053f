#include "packer/pe/imports.h"

#include <algorithm>

#include "formats/archive_layout.h"
#include "formats/image_tables.h"
#include "packer/pe/pe_file.h"
#include "packer/text.h"

namespace {

// What the tables of a real image hand out are bytes of its own: every
// library a descriptor and a name, every function an entry of a lookup
// table and, by name, a hint and a name, and every exported name a pointer
// and its text. Tables that hand out more than the file holds share their
// entries, which no linker writes, and a few kilobytes of them could
// otherwise be read as gigabytes of names. Nor does any real image come
// near `limit` (the largest import tables take a few megabytes, the largest
// export tables a few tens), which bounds what a file padded to any size
// can make of them.
class TableBudget {
  public:
    // `what` says what takes from it ("import tables name").
    TableBudget(const char* what, size_t fileSize, uint64_t limit)
        : what_(what), fileSize_(fileSize), left_(std::min<uint64_t>(fileSize, limit)),
          bySize_(fileSize <= limit) {}
    // Takes `bytes` from what is left; false, with the reason in `problem`,
    // when they are more.
    bool take(uint64_t bytes, std::string* problem) {
        if (bytes <= left_) {
            left_ -= bytes;
            return true;
        }
        *problem = "is a damaged PE file: its " + std::string(what_) + " more than ";
        *problem += bySize_ ? "a file of " + std::to_string(fileSize_) +
                                  " bytes holds (entries shared among them)"
                            : "any real image does";
        return false;
    }

  private:
    const char* what_;
    uint64_t fileSize_;
    uint64_t left_;
    bool bySize_; // the file is smaller than the limit
};

constexpr uint64_t importTablesLimit = uint64_t{16} << 20;
constexpr uint64_t exportNamesLimit = uint64_t{64} << 20;

} // namespace

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
    if (!image.sectionsInOrder && image.sectionCount > unorderedSectionLimit) {
        *problem = unorderedSectionsProblem(image.sectionCount);
        return std::nullopt;
    }
    ImageLinkage linkage;
    linkage.machine = image.machine;
    linkage.subsystem = image.subsystem;
    linkage.dll = (image.characteristics & pe::characteristicDll) != 0;

    TableBudget imports("import tables name", size, importTablesLimit);
    const size_t entryWidth = image.pe32Plus ? 8 : 4;
    const size_t hintSize = 2;
    ImportCursor cursor = {};
    ImportedLibrary library;
    TableStep step;
    while ((step = nextImportedLibrary(image, &cursor, &library)) == TableStep::item) {
        if (!imports.take((library.delayLoaded ? imagetables::delayDescriptorSize
                                               : imagetables::importDescriptorSize) +
                              library.nameLength + 1,
                          problem)) {
            return std::nullopt;
        }
        LibraryImport& entry = linkage.imports.emplace_back();
        entry.library.assign(library.name, library.nameLength);
        entry.delayLoaded = library.delayLoaded;
        uint32_t index = 0;
        ImportedFunction function;
        while ((step = nextImportedFunction(image, library, &index, &function)) ==
               TableStep::item) {
            if (!imports.take(entryWidth +
                                  (function.byOrdinal ? 0 : hintSize + function.nameLength + 1),
                              problem)) {
                return std::nullopt;
            }
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
    TableBudget names("export table names", size, exportNamesLimit);
    const size_t namePointerSize = 4;
    for (uint32_t i = 0; i < exports.nameCount; ++i) {
        const char* name = nullptr;
        size_t length = 0;
        // A name outside the file cannot be looked up by the loader either,
        // nor one without its end where names may have it. Looking for
        // that end reads as much as a name of the most characters would.
        const bool found = exportedName(image, exports, i, &name, &length);
        uint64_t read = length + 1;
        size_t offset = 0, available = 0;
        if (!found) {
            const uint64_t address =
                imagetables::load(image.bytes + exports.names + 4 * uint64_t{i}, 4);
            read = imageSpan(image, address, &offset, &available)
                       ? std::min<uint64_t>(available, imageNameLimit + 1)
                       : 0;
        }
        if (!names.take(namePointerSize + read, problem)) {
            return std::nullopt;
        }
        if (found) {
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
