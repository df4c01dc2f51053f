#include "packer/payload/input_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>

#include "archive/layout.h"
#include "packer/error.h"
#include "packer/text.h"

namespace fs = std::filesystem;

namespace {

// A message lists this many refusals, then says how many more there are:
// enough to show what kinds there are, not a screenful of one kind.
constexpr size_t listedRefusals = 20;

// The entry as given on the command line, as names below the input
// directory; "." parts and doubled slashes are dropped, ".." is refused.
std::vector<std::string> entryNames(const std::string& entry) {
    fs::path given(entry);
    if (entry.empty() || given.is_absolute()) {
        throw PackError("--entry " + quoteForMessage(entry) +
                        ": give the entry library as a path relative to INPUT_DIR");
    }
    std::vector<std::string> names;
    for (const fs::path& part : given) {
        std::string text = part.string();
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
        std::error_code error;
        fs::directory_iterator it(folder.source, error);
        for (; !error && it != fs::directory_iterator(); it.increment(error)) {
            std::vector<std::string> names = folder.names;
            names.push_back(it->path().filename().string());
            visit(it->path(), names, folder.refused, pending);
        }
        if (error) {
            if (folder.names.empty()) {
                throw PackError("cannot read the directory " + quoteForMessage(root_.string()) +
                                ": " + error.message());
            }
            const std::string shown = joined(folder.names);
            refuse(shown,
                   "cannot read the folder " + quoteForMessage(shown) + ": " + error.message());
        }
    }

    void visit(const fs::path& source, const std::vector<std::string>& names, bool aboveRefused,
               std::vector<PendingFolder>& pending) {
        const std::string shown = joined(names);
        const std::string quoted = quoteForMessage(shown);
        struct stat info;
        if (lstat(source.c_str(), &info) != 0) {
            refuse(shown, "cannot examine " + quoted + ": " + systemErrorText(errno));
            return;
        }
        const bool folder = S_ISDIR(info.st_mode);
        if (exclusions_.excluding(names, folder)) {
            return; // and whatever lies below it
        }
        std::string nameProblemText = nameProblem(names.back());
        if (!nameProblemText.empty()) {
            refuse(shown,
                   quoted + ": the name " + quoteForMessage(names.back()) + " " + nameProblemText);
        }
        const bool refused = aboveRefused || !nameProblemText.empty();
        if (!folder && names == entry_) {
            entrySeen = true;
        }
        if (S_ISLNK(info.st_mode)) {
            refuse(shown, quoted +
                              " is a symbolic link; links are not packed (Windows would not "
                              "recreate them): copy what it points to into the directory instead");
        } else if (folder) {
            pending.push_back({source, names, refused});
        } else if (!S_ISREG(info.st_mode)) {
            refuse(shown, quoted + " is neither a regular file nor a directory (a device, socket "
                                   "or pipe cannot be packed)");
        } else {
            addFile(source, names, shown, static_cast<uint64_t>(info.st_size), refused);
        }
    }

    void addFile(const fs::path& source, const std::vector<std::string>& names,
                 const std::string& shown, uint64_t size, bool refused) {
        // Opened once now, so that a file that cannot be read is told of with
        // the rest rather than after minutes of compression.
        int descriptor = open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (descriptor < 0) {
            refuse(shown, "cannot read " + quoteForMessage(shown) + ": " + systemErrorText(errno));
            return;
        }
        close(descriptor);
        if (refused) {
            return;
        }
        std::string problem;
        std::optional<ArchivePath> archivePath = toArchivePath(names, &problem);
        if (!archivePath) {
            refuse(shown, quoteForMessage(shown) + ": " + problem);
            return;
        }
        files.push_back({source, shown, std::move(*archivePath), size});
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
                         quoteForMessage(inputDirectory.string()) + ":";
    for (size_t i = 0; i < refusals.size() && i < listedRefusals; ++i) {
        report += "\n  " + refusals[i].message;
    }
    if (refusals.size() > listedRefusals) {
        report += "\n  and " + std::to_string(refusals.size() - listedRefusals) + " more";
    }
    return report;
}

} // namespace

std::vector<InputFile> scanInputTree(const fs::path& inputDirectory, const std::string& entry,
                                     const Exclusions& exclusions) {
    std::error_code error;
    fs::file_status rootStatus = fs::status(inputDirectory, error);
    if (error || !fs::is_directory(rootStatus)) {
        throw PackError(quoteForMessage(inputDirectory.string()) + " is not a directory" +
                        (error ? " (" + error.message() + ")" : std::string()));
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
        return file.shown == entryShown;
    });
    if (found == files.end() && !scan.entrySeen) {
        // Nothing at the entry's path was packed or refused as a file.
        fs::path onDisk = inputDirectory;
        for (const std::string& name : entryPath) {
            onDisk /= name;
        }
        std::error_code statError;
        bool exists = fs::exists(fs::symlink_status(onDisk, statError));
        scan.refusals.push_back(
            {entryShown, "--entry " + quoteForMessage(entry) + ": " + quoteForMessage(entryShown) +
                             (exists ? " is not a regular file" : " does not exist")});
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
