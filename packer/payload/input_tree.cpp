#include "packer/payload/input_tree.h"

#include <algorithm>
#include <set>

#include "formats/archive_layout.h"
#include "packer/error.h"
#include "packer/platform/files.h"
#include "packer/text.h"

namespace fs = std::filesystem;

namespace {

// A message lists this many refusals, then says how many more there are:
// enough to show what kinds there are, not a screenful of one kind.
constexpr size_t listedRefusals = 20;
// The libraries at the top of INPUT_DIR that a message about a missing
// --entry names, before it counts the rest.
constexpr size_t listedCandidates = 8;

// The entry as given on the command line, as names below the input
// directory; "." parts and doubled slashes are dropped, ".." is refused.
std::vector<std::string> entryNames(const std::string& entry) {
    const fs::path given = pathFromUtf8(entry);
    if (entry.empty() || given.has_root_path()) {
        throw PackError("--entry " + quoteForMessage(entry) +
                        ": give the entry library as a path relative to INPUT_DIR");
    }
    std::vector<std::string> names;
    for (const fs::path& part : given) {
        std::string text = pathToUtf8(part);
        if (text.empty() || text == ".") {
            continue;
        }
        if (text == "..") {
            throw PackError("--entry " + quoteForMessage(entry) +
                            ": the entry library must lie inside INPUT_DIR (no '..')");
        }
        names.push_back(text);
    }
    if (names.empty()) {
        throw PackError("--entry " + quoteForMessage(entry) + ": names no file");
    }
    return names;
}

std::string joined(const std::vector<std::string>& names) {
    std::string path;
    for (const std::string& name : names) {
        path += (path.empty() ? "" : "/") + name;
    }
    return path;
}

// Whether two paths below the input directory name the same file, as the
// file system matches names: on Windows, --entry APP.DLL is app.dll.
bool sameFile(const std::string& a, const std::string& b) {
    return namesIgnoreCase ? foldedName(a) == foldedName(b) : a == b;
}

struct Refusal {
    std::string path; // shown, for the order of the list
    std::string message;
};

// A folder still to be read, and whether a name on the way to it was refused
// already (the files below it are then refused with it, not one by one).
struct PendingFolder {
    fs::path source;
    std::vector<std::string> names;
    bool refused = false;
};

class TreeScan {
  public:
    TreeScan(const fs::path& root, const std::vector<std::string>& entry,
             const Exclusions& exclusions)
        : root_(root), entry_(entry), exclusions_(exclusions) {}

    void run() {
        std::vector<PendingFolder> pending = {{root_, {}, false}};
        while (!pending.empty()) {
            PendingFolder folder = std::move(pending.back());
            pending.pop_back();
            read(folder, pending);
        }
    }

    std::vector<InputFile> files;
    std::vector<Refusal> refusals;
    bool entrySeen = false; // as something other than a folder, refused or not

  private:
    void refuse(const std::string& shown, const std::string& message) {
        refusals.push_back({shown, message});
    }

    void read(const PendingFolder& folder, std::vector<PendingFolder>& pending) {
        std::vector<FolderEntry> entries;
        std::string problem;
        auto wanted = [&](const std::string& name, bool isFolder) {
            std::vector<std::string> names = folder.names;
            names.push_back(name);
            return exclusions_.excluding(names, isFolder) == nullptr; // and what lies below it
        };
        const bool read = readFolder(folder.source, wanted, entries, &problem);
        for (const FolderEntry& entry : entries) {
            std::vector<std::string> names = folder.names;
            names.push_back(entry.name);
            visit(folder.source / pathFromUtf8(entry.name), names, entry, folder.refused, pending);
        }
        if (!read) {
            if (folder.names.empty()) {
                throw PackError("cannot read the directory " + quoteForMessage(pathToUtf8(root_)) +
                                ": " + problem);
            }
            // Below a refused name that refusal stands for whatever else
            // is wrong (Windows may not even open a folder called CON).
            if (!folder.refused) {
                const std::string shown = joined(folder.names);
                refuse(shown, "cannot read the folder " + quoteForMessage(shown) + ": " + problem);
            }
        }
    }

    void visit(const fs::path& source, const std::vector<std::string>& names,
               const FolderEntry& entry, bool aboveRefused, std::vector<PendingFolder>& pending) {
        const std::string shown = joined(names);
        const std::string quoted = quoteForMessage(shown);
        if (entry.problem == FolderEntry::cannotExamine) {
            refuse(shown, "cannot examine " + quoted + ": " + entry.problemText);
            return;
        }
        std::string nameProblemText = nameProblem(names.back());
        if (!nameProblemText.empty()) {
            refuse(shown,
                   quoted + ": the name " + quoteForMessage(names.back()) + " " + nameProblemText);
        }
        const bool refused = aboveRefused || !nameProblemText.empty();
        if (entry.kind != FileKind::directory && sameFile(shown, joined(entry_))) {
            entrySeen = true;
        }
        switch (entry.kind) {
        case FileKind::symbolicLink:
        case FileKind::junction:
            refuse(shown, quoted + " is a " +
                              (entry.kind == FileKind::junction ? "junction" : "symbolic link") +
                              "; links are not packed (Windows would not recreate them): copy "
                              "what it points to into the directory instead");
            break;
        case FileKind::directory:
            pending.push_back({source, names, refused});
            break;
        case FileKind::file:
            addFile(source, names, shown, entry, refused);
            break;
        default:
            refuse(shown, quoted + " is neither a regular file nor a directory (a device, socket "
                                   "or pipe cannot be packed)");
        }
    }

    void addFile(const fs::path& source, const std::vector<std::string>& names,
                 const std::string& shown, const FolderEntry& entry, bool refused) {
        if (refused) {
            return; // a refused name stands for whatever else is wrong
        }
        // Opened once when listed, so that a file that cannot be read is told
        // of with the rest rather than after minutes of compression.
        if (entry.problem == FolderEntry::cannotRead) {
            refuse(shown, "cannot read " + quoteForMessage(shown) + ": " + entry.problemText);
            return;
        }
        std::string problem;
        std::optional<ArchivePath> archivePath = toArchivePath(names, &problem);
        if (!archivePath) {
            refuse(shown, quoteForMessage(shown) + ": " + problem);
            return;
        }
        files.push_back({source, shown, std::move(*archivePath), entry.size});
    }

    fs::path root_;
    const std::vector<std::string>& entry_;
    const Exclusions& exclusions_;
};

void refuseCaseCollisions(const std::vector<InputFile>& files, std::vector<Refusal>& refusals) {
    CaseFoldedTree tree;
    std::set<std::string> told; // the files below a clashing folder meet the same clash
    for (const InputFile& file : files) {
        std::string problem = tree.addFile(file.archivePath.utf16, file.shown);
        if (!problem.empty() && told.insert(problem).second) {
            refusals.push_back({file.shown, problem});
        }
    }
}

std::string refusalReport(const fs::path& inputDirectory, std::vector<Refusal> refusals) {
    std::stable_sort(refusals.begin(), refusals.end(),
                     [](const Refusal& a, const Refusal& b) { return a.path < b.path; });
    if (refusals.size() == 1) {
        return refusals.front().message;
    }
    std::string report = std::to_string(refusals.size()) + " problems in INPUT_DIR " +
                         quoteForMessage(pathToUtf8(inputDirectory)) + ":";
    for (size_t i = 0; i < refusals.size() && i < listedRefusals; ++i) {
        report += "\n  " + refusals[i].message;
    }
    if (refusals.size() > listedRefusals) {
        report += "\n  and " + std::to_string(refusals.size() - listedRefusals) + " more";
    }
    return report;
}

// Where --entry is looked for, and what could be meant: the libraries at
// the top of INPUT_DIR, which is where an entry usually lies.
std::string entryCandidates(const fs::path& inputDirectory, const std::vector<InputFile>& files) {
    std::vector<std::string> libraries;
    for (const InputFile& file : files) {
        const std::string& name = file.shown;
        if (name.find('/') == std::string::npos && name.size() > 4 &&
            caseFoldKey(utf8ToUtf16(name.substr(name.size() - 4)).value_or(u"")) ==
                caseFoldKey(u".dll")) {
            libraries.push_back(quoteForMessage(name));
        }
    }
    std::string text =
        " (the path is relative to INPUT_DIR " + quoteForMessage(pathToUtf8(inputDirectory)) + ", ";
    if (libraries.empty()) {
        return text + "whose top holds no DLL)";
    }
    if (libraries.size() > listedCandidates) {
        const size_t more = libraries.size() - listedCandidates;
        libraries.resize(listedCandidates);
        libraries.push_back(std::to_string(more) + (more == 1 ? " more DLL" : " more DLLs"));
    }
    text += "whose top holds ";
    for (size_t i = 0; i < libraries.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == libraries.size() ? " and " : ", ") + libraries[i];
    }
    return text + ")";
}

} // namespace

std::vector<InputFile> scanInputTree(const fs::path& inputDirectory, const std::string& entry,
                                     const Exclusions& exclusions) {
    std::string rootProblem;
    if (kindOf(inputDirectory, &rootProblem) != FileKind::directory) {
        throw PackError(quoteForMessage(pathToUtf8(inputDirectory)) + " is not a directory" +
                        (rootProblem.empty() ? std::string() : " (" + rootProblem + ")"));
    }
    const std::vector<std::string> entryPath = entryNames(entry);
    if (const Exclusions::Rule* rule = exclusions.excludingFile(entryPath)) {
        throw PackError("--entry " + quoteForMessage(entry) + ": " + rule->origin +
                        " leaves it out, but the entry library is always packed");
    }

    TreeScan scan(inputDirectory, entryPath, exclusions);
    scan.run();
    std::vector<InputFile> files = std::move(scan.files);
    std::sort(files.begin(), files.end(), [](const InputFile& a, const InputFile& b) {
        return a.archivePath.utf8 < b.archivePath.utf8; // std::string compares bytes as unsigned
    });
    refuseCaseCollisions(files, scan.refusals);

    const std::string entryShown = joined(entryPath);
    auto found = std::find_if(files.begin(), files.end(), [&entryShown](const InputFile& file) {
        return sameFile(file.shown, entryShown);
    });
    if (found == files.end() && !scan.entrySeen) {
        // Nothing at the entry's path was packed or refused as a file.
        fs::path onDisk = inputDirectory;
        for (const std::string& name : entryPath) {
            onDisk /= pathFromUtf8(name);
        }
        bool exists = entryExists(onDisk);
        scan.refusals.push_back(
            {entryShown,
             "--entry " + quoteForMessage(entry) + ": " + quoteForMessage(entryShown) +
                 (exists ? " is not a regular file"
                         : " does not exist" + entryCandidates(inputDirectory, files))});
    }
    if (!scan.refusals.empty()) {
        throw PackError(refusalReport(inputDirectory, std::move(scan.refusals)));
    }
    std::rotate(files.begin(), found, found + 1);
    return files;
}

uint64_t recordStreamSize(const std::vector<InputFile>& files) {
    uint64_t total = 2; // terminator
    for (const InputFile& file : files) {
        total += 2 * (file.archivePath.utf16.size() + 1) + recordSizeFieldSize + file.size;
    }
    return total;
}
