#include "packer/dependencies/dependency_check.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "packer/dependencies/system_libraries.h"
#include "packer/pe/pe_file.h"
#include "packer/payload/archive_path.h"
#include "packer/text.h"

namespace {

// A module that a load found: an image of the package, by its index, or one
// of the system's.
constexpr size_t systemModule = SIZE_MAX;

// Import names are bytes; UTF-8 as the tools write them, else one byte a character.
std::u16string wide(const std::string& text) {
    if (std::optional<std::u16string> utf16 = utf8ToUtf16(text)) {
        return *utf16;
    }
    return std::u16string(text.begin(), text.end());
}

// Names that Windows takes for the same file are equal keys.
std::u16string key(const std::string& path) {
    return caseFoldKey(wide(path));
}

std::string folderOf(const std::string& path) {
    const size_t at = path.rfind('\\');
    return at == std::string::npos ? std::string() : path.substr(0, at);
}

std::string baseName(const std::string& path) {
    return path.substr(path.rfind('\\') + 1);
}

std::string joined(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "\\" + name;
}

// The file the loader looks for: a name without an extension gets ".dll".
std::string loaderName(const std::string& name) {
    return name.find('.') == std::string::npos ? name + ".dll" : name;
}

// A name read from a file, fit for a terminal and for JSON: control
// characters, and bytes of text that is not UTF-8, as \xNN.
std::string shown(const std::string& name) {
    const bool utf8 = utf8ToUtf16(name).has_value();
    std::string out;
    for (char c : name) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || (byte >= 0x80 && !utf8)) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

bool userMode(const ImageLinkage& linkage) {
    return linkage.subsystem == pe::subsystemGui || linkage.subsystem == pe::subsystemConsole;
}

// "a", "a and b", "a, b and c".
std::string listed(const std::vector<std::string>& items) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        out += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
    }
    return out;
}

// The files of one warning, listed by name up to this many, then counted.
constexpr size_t listedImporters = 3;

// "a", "a and b", or "a, b, c and 2 more".
std::string listedFew(const std::vector<std::string>& items) {
    if (items.size() <= listedImporters + 1) {
        return listed(items);
    }
    std::vector<std::string> few(items.begin(), items.begin() + listedImporters);
    few.push_back(std::to_string(items.size() - listedImporters) + " more");
    return listed(few);
}

class Checker {
  public:
    Checker(const std::vector<PackagedImage>& images, const std::string& entryPath,
            const std::vector<std::string>& allowed)
        : images_(images) {
        for (size_t i = 0; i < images.size(); ++i) {
            // A later record of the same path replaces the earlier file.
            byPath_[key(images[i].path)] = i;
            byName_[key(baseName(images[i].path))].push_back(i);
            if (images[i].path == entryPath) {
                entry_ = i;
            }
        }
        for (const std::string& name : allowed) {
            allowed_.emplace(key(loaderName(name)), name);
        }
    }

    DependencyFindings run() {
        for (const PackagedImage& image : images_) {
            if (!image.linkage) {
                findings_.unreadable.push_back({image.path, image.problem});
            }
        }
        // The entry library and what its load brings in. The child loads it
        // by full path with LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR, _USER_DIRS and
        // _SYSTEM32, having added the target directory with AddDllDirectory:
        // every library of that one load is searched in the entry's own
        // folder, the target directory and the system directory, never in a
        // folder of the library that imports it.
        Load entryLoad;
        if (entry_ != systemModule && checkable(entry_)) {
            const std::string folder = folderOf(images_[entry_].path);
            entryLoad.folders = {folder};
            if (!folder.empty()) {
                entryLoad.folders.push_back("");
            }
            walk(entryLoad, entry_);
        }
        // Programs: processes of their own, whose loader searches the
        // program's folder and the system's (the child's added directory is
        // the child's alone).
        for (size_t i = 0; i < images_.size(); ++i) {
            if (checkable(i) && !images_[i].linkage->dll) {
                Load process;
                process.folders = {folderOf(images_[i].path)};
                process.ownProcess = true;
                walk(process, i);
            }
        }
        // Plug-ins, which the application loads by path after the entry: first
        // those that no file of the package imports, then any that only
        // imports reach. Their folders are searched only with the flags that
        // say so, so the check warns where it depends on them (a plain
        // LoadLibraryW with a full path searches the target directory and the
        // system in the child, never the plug-in's folder; with
        // LOAD_WITH_ALTERED_SEARCH_PATH the plug-in's folder comes first, and
        // the target directory is not certain to follow).
        std::set<std::u16string> imported;
        for (const PackagedImage& image : images_) {
            if (image.linkage) {
                for (const LibraryImport& library : image.linkage->imports) {
                    imported.insert(key(loaderName(library.library)));
                }
            }
        }
        for (bool importedToo : {false, true}) {
            for (size_t i = 0; i < images_.size(); ++i) {
                const std::string& path = images_[i].path;
                if (checkable(i) && reached_.count(i) == 0 &&
                    (importedToo || imported.count(key(baseName(path))) == 0)) {
                    // A library of another machine that no program of its own
                    // machine in the package loads: the application cannot
                    // load it at all, which is worth a word once.
                    if (entry_ != systemModule && images_[i].linkage->dll &&
                        machineOf(i) != machineOf(entry_) && wrongMachine_.count(i) == 0) {
                        warnings_[{Warning::otherMachine, machineName(machineOf(i))}].push_back(
                            path);
                    }
                    Load plugin;
                    plugin.root = i;
                    plugin.before = images_[i].linkage->machine == machineOf(entry_)
                                        ? &entryLoad.loaded
                                        : nullptr;
                    walk(plugin, i);
                }
            }
        }
        for (const auto& [allowedKey, name] : allowed_) {
            if (allowedUsed_.count(allowedKey) == 0) {
                findings_.warnings.push_back(
                    {Warning::unusedAllowMissing, "--allow-missing " + quoteForMessage(name) +
                                                      ": no file of the package misses it"});
            }
        }
        // One message for each problem, however many files share it: thirty
        // plug-ins that miss the same library are one thing to fix.
        std::map<std::pair<Warning, std::string>, std::vector<std::string>> grouped;
        for (const auto& [where, libraries] : libraryWarnings_) {
            std::set<std::string> unique(libraries.begin(), libraries.end());
            grouped[{where.second, listed({unique.begin(), unique.end()})}].push_back(where.first);
        }
        grouped.insert(warnings_.begin(), warnings_.end());
        // In the order of the path of the first file each names.
        std::vector<std::pair<std::pair<Warning, std::string>, std::vector<std::string>>> ordered(
            grouped.begin(), grouped.end());
        std::stable_sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) {
            return a.second.front() < b.second.front();
        });
        for (const auto& [what, files] : ordered) {
            findings_.warnings.push_back({what.first, warningText(what.first, what.second, files)});
        }
        return std::move(findings_);
    }

  private:
    // One load of the loader: where it looks, and what it has loaded.
    struct Load {
        std::vector<std::string> folders; // searched in this order
        bool ownProcess = false;          // a program's own process
        size_t root = systemModule;       // the plug-in whose load this is
        // What the entry library's load brought in before a plug-in's.
        const std::map<std::u16string, size_t>* before = nullptr;
        std::map<std::u16string, size_t> loaded; // this load's, by name
    };

    bool checkable(size_t index) const {
        return images_[index].linkage && userMode(*images_[index].linkage) &&
               byPath_.at(key(images_[index].path)) == index;
    }

    uint16_t machineOf(size_t index) const {
        return index == systemModule || !images_[index].linkage ? 0
                                                                : images_[index].linkage->machine;
    }

    // The image of the package at `folder`\`name`, or systemModule.
    size_t find(const std::string& folder, const std::string& name) const {
        auto found = byPath_.find(key(joined(folder, name)));
        return found == byPath_.end() ? systemModule : found->second;
    }

    void walk(Load& load, size_t root) {
        std::deque<size_t> queue = {root};
        load.loaded.emplace(key(baseName(images_[root].path)), root);
        std::set<size_t> visited = {root};
        while (!queue.empty()) {
            const size_t importer = queue.front();
            queue.pop_front();
            reached_.insert(importer);
            for (const LibraryImport& library : images_[importer].linkage->imports) {
                const size_t found = resolve(load, importer, library);
                if (found != systemModule && visited.insert(found).second) {
                    queue.push_back(found);
                }
            }
        }
    }

    // What `load` has brought in under the name `nameKey`, before this import.
    std::optional<size_t> alreadyLoaded(const Load& load, const std::u16string& nameKey) const {
        for (const auto* loaded : {&load.loaded, load.before}) {
            if (loaded != nullptr) {
                if (auto found = loaded->find(nameKey); found != loaded->end()) {
                    return found->second;
                }
            }
        }
        return std::nullopt;
    }

    // Finds what `importer` imports as `library` in `load`, notes what is
    // wrong, and returns the image of the package that the load brings in
    // with it (systemModule for none). The loader's order: an API set or a
    // known DLL is the system's whatever lies elsewhere; a name loaded
    // already is taken as loaded, from wherever it came; then the folders of
    // the search, in order; the system directory last.
    size_t resolve(Load& load, size_t importer, const LibraryImport& library) {
        const std::string name = loaderName(library.library);
        const std::u16string nameKey = key(name);
        const SystemLibrary system = systemLibrary(name);
        if (system == SystemLibrary::apiSet || system == SystemLibrary::knownDll) {
            return systemModule;
        }
        if (std::optional<size_t> loaded = alreadyLoaded(load, nameKey)) {
            checkFunctions(importer, library, *loaded);
            return systemModule;
        }
        size_t found = systemModule;
        bool besideOnly = false;
        if (load.root != systemModule) {
            found = findForPlugin(load, library, name, &besideOnly);
        } else {
            for (const std::string& folder : load.folders) {
                if ((found = find(folder, name)) != systemModule) {
                    break;
                }
            }
        }
        if (found == systemModule) {
            if (system == SystemLibrary::none) {
                noteMissing(importer, library);
            }
            return systemModule;
        }
        if (!images_[found].linkage) {
            return systemModule; // found, and named as unreadable already
        }
        if (machineOf(found) != machineOf(importer)) {
            findings_.wrongMachines.push_back({images_[importer].path, images_[found].path,
                                               machineOf(found), machineOf(importer)});
            wrongMachine_.insert(found);
            return systemModule;
        }
        checkFunctions(importer, library, found);
        if (besideOnly) {
            libraryWarnings_[{images_[load.root].path, Warning::pluginSearch}].push_back(
                shown(name));
        }
        if (library.delayLoaded && !load.ownProcess && found != find("", name)) {
            // Loaded by name at its first call, when the child searches the
            // top of the package and the system only: a copy in any other
            // folder is found once loaded, or once the application adds it.
            libraryWarnings_[{images_[importer].path, Warning::delayLoad}].push_back(shown(name));
            return systemModule;
        }
        load.loaded.emplace(nameKey, found);
        return found;
    }

    // In a plug-in's load the application's way of loading it decides what
    // is searched. The child's default search, which a plain LoadLibraryW
    // with the plug-in's full path takes, is the top of the package and the
    // system: `besideOnly` tells when the library lies only beside the
    // plug-in, where the application must ask for the plug-in's folder
    // (LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR, LOAD_WITH_ALTERED_SEARCH_PATH),
    // which then comes first.
    size_t findForPlugin(const Load& load, const LibraryImport& library, const std::string& name,
                         bool* besideOnly) const {
        const std::string folder = folderOf(images_[load.root].path);
        const size_t beside = find(folder, name);
        const size_t top = find("", name);
        *besideOnly = !folder.empty() && !library.delayLoaded && beside != systemModule &&
                      top == systemModule;
        return beside != systemModule ? beside : top;
    }

    void checkFunctions(size_t importer, const LibraryImport& library, size_t module) {
        if (module == systemModule || !images_[module].linkage) {
            return;
        }
        // Every load of a plug-in may bring in the same library: its
        // functions are looked up in the same module once.
        if (!functionsChecked_.insert({&library, module}).second) {
            return;
        }
        for (const ImportedName& function : library.functions) {
            ++findings_.lookups;
            if (!images_[module].linkage->exports(function) &&
                missingFunctions_.insert({importer, module, importedNameText(function)}).second) {
                findings_.missingFunctions.push_back({images_[importer].path,
                                                      images_[module].path,
                                                      {function.ordinal, shown(function.name)}});
            }
        }
    }

    void noteMissing(size_t importer, const LibraryImport& library) {
        const std::u16string nameKey = key(loaderName(library.library));
        auto allowed = allowed_.find(nameKey);
        if (allowed != allowed_.end()) {
            if (allowedUsed_.insert(nameKey).second) {
                findings_.allowedMissing.push_back(shown(library.library));
            }
            return;
        }
        auto [at, added] = missingIndex_.emplace(nameKey, findings_.missing.size());
        if (added) {
            findings_.missing.push_back({shown(library.library), {}, {}});
            // Copies in folders that no search takes in: the likely mistake.
            if (auto copies = byName_.find(nameKey); copies != byName_.end()) {
                for (size_t copy : copies->second) {
                    ++findings_.lookups;
                    findings_.missing.back().elsewhere.push_back(images_[copy].path);
                }
            }
        }
        ++findings_.lookups;
        if (missingImporters_.insert({at->second, images_[importer].path, library.delayLoaded})
                .second) {
            findings_.missing[at->second].importers.push_back(
                {images_[importer].path, library.delayLoaded});
        }
    }

    // What `files` share: the libraries they miss, or the machine they are built for.
    std::string warningText(Warning kind, const std::string& what,
                            const std::vector<std::string>& files) const {
        const bool one = files.size() == 1;
        const std::string count = std::to_string(files.size());
        switch (kind) {
        case Warning::pluginSearch:
            return (one ? files.front() + " finds " + what + " only beside itself"
                        : count + " plug-ins (" + listedFew(files) + ") find " + what +
                              " only beside themselves") +
                   ", where a plain LoadLibraryW with " + (one ? "its" : "their") +
                   " full path does not look: load " + (one ? "it" : "them") +
                   " with LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS "
                   "or LOAD_WITH_ALTERED_SEARCH_PATH, or put " +
                   what + " at the top of the package";
        case Warning::delayLoad:
            return (one ? files.front() + " delay-loads "
                        : count + " files (" + listedFew(files) + ") delay-load ") +
                   what +
                   " from the package, which Windows finds only when already loaded, or when the "
                   "application has put the folder on the search path (SetDllDirectoryW, or "
                   "AddDllDirectory with SetDefaultDllDirectories)";
        case Warning::otherMachine:
            return (one ? files.front() + " is"
                        : count + " libraries (" + listedFew(files) + ") are") +
                   " built for " + what + ", which the " + machineName(machineOf(entry_)) +
                   " application cannot load (only a program of the package built for " + what +
                   " could)";
        default:
            return what;
        }
    }

    const std::vector<PackagedImage>& images_;
    std::map<std::u16string, size_t> byPath_;
    std::map<std::u16string, std::vector<size_t>> byName_; // by file name, in package order
    size_t entry_ = systemModule;
    std::map<std::u16string, std::string> allowed_;
    std::set<std::u16string> allowedUsed_;
    std::set<size_t> reached_;
    std::set<size_t> wrongMachine_; // libraries named as a problem already
    std::map<std::u16string, size_t> missingIndex_;
    std::set<std::tuple<size_t, std::string, bool>> missingImporters_; // missing index, path
    std::set<std::pair<const LibraryImport*, size_t>> functionsChecked_;
    std::set<std::tuple<size_t, size_t, std::string>> missingFunctions_;
    // Files, by path and warning, with the libraries each is warned of.
    std::map<std::pair<std::string, Warning>, std::vector<std::string>> libraryWarnings_;
    // Files warned of for what they are, by warning and what they share.
    std::map<std::pair<Warning, std::string>, std::vector<std::string>> warnings_;
    DependencyFindings findings_;
};

} // namespace

std::optional<PackagedImage> packagedImage(const std::string& path, const unsigned char* bytes,
                                           size_t size) {
    PackagedImage image;
    image.path = path;
    image.linkage = readImageLinkage(bytes, size, &image.problem);
    if (!image.linkage && image.problem.empty()) {
        return std::nullopt;
    }
    return image;
}

DependencyFindings checkDependencies(const std::vector<PackagedImage>& images,
                                     const std::string& entryPath,
                                     const std::vector<std::string>& allowedMissing) {
    return Checker(images, entryPath, allowedMissing).run();
}

std::vector<std::string> warningLines(const DependencyFindings& findings) {
    std::vector<std::string> lines;
    for (const WarningMessage& warning : findings.warnings) {
        lines.push_back(warningLine(warning));
    }
    return lines;
}

std::vector<std::string> dependencyProblemLines(const DependencyFindings& findings) {
    std::vector<std::string> lines;
    for (const auto& missing : findings.missing) {
        std::vector<std::string> importers;
        for (const auto& importer : missing.importers) {
            importers.push_back(importer.path + (importer.delayLoaded ? " (delay-loaded)" : ""));
        }
        std::string line = missing.library + ", imported by " + listed(importers);
        if (!missing.elsewhere.empty()) {
            line += " (the package has " + listed(missing.elsewhere) +
                    ", where Windows does not look for it)";
        }
        lines.push_back(line);
    }
    for (const auto& function : findings.missingFunctions) {
        lines.push_back(function.library + " does not export " +
                        importedNameText(function.function) + ", which " + function.importer +
                        " imports from it");
    }
    for (const auto& wrong : findings.wrongMachines) {
        lines.push_back(wrong.library + " is built for " + machineName(wrong.machine) + ", but " +
                        wrong.importer + ", which imports it, for " + machineName(wrong.wanted));
    }
    for (const auto& unreadable : findings.unreadable) {
        lines.push_back(unreadable.path + " " + unreadable.problem);
    }
    return lines;
}

std::string dependencyRefusal(const DependencyFindings& findings) {
    std::string out = "the package's files import what Windows will not find for them:\n";
    for (const std::string& line : dependencyProblemLines(findings)) {
        out += "  " + line + "\n";
    }
    if (!findings.missing.empty()) {
        out += "Add each missing library to INPUT_DIR beside the entry library, or link it "
               "statically into what imports it (with MinGW: -static -static-libgcc "
               "-static-libstdc++, as onefile_add_entry_library does), or, for a library that "
               "every target machine has, pass --allow-missing NAME.\n";
    }
    if (!findings.missingFunctions.empty()) {
        out += "Package the build of each library that its importers were linked against.\n";
    }
    if (!findings.wrongMachines.empty()) {
        out += "Package libraries built for the machine of the files that import them.\n";
    }
    if (!findings.unreadable.empty()) {
        out += "Replace the damaged files.\n";
    }
    out.pop_back();
    return out;
}
