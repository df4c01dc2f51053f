#include <set>

#include "packer/error.h"
#include "packer/inspect/inspect_commands.h"
#include "packer/inspect/inspected_file.h"
#include "packer/platform/files.h"
#include "packer/text.h"

namespace fs = std::filesystem;

namespace {

// The directory the records go to. Everything this run creates below it, and
// the directory itself when this run made it, is removed again unless the
// extraction is kept. Paths below it are made one name at a time without
// following links, so nothing is ever written outside it.
class ExtractionDirectory {
  public:
    ExtractionDirectory(const fs::path& directory, bool force) : directory_(directory) {
        std::string problem;
        const FileKind kind = kindOf(directory, &problem);
        if (kind != FileKind::missing) {
            if (kind != FileKind::directory) {
                throw PackError(quoted() + " is not a directory");
            }
            if (!force) {
                std::optional<bool> empty = folderIsEmpty(directory, &problem);
                if (!empty) {
                    throw PackError("cannot read " + quoted() + ": " + problem);
                }
                if (!*empty) {
                    throw PackError(quoted() +
                                    " is not empty; give --force to write into it anyway");
                }
            }
        } else {
            // Created from the first missing ancestor down, removed in reverse.
            for (fs::path missing = directory; !missing.empty() && !entryExists(missing);
                 missing = missing.parent_path()) {
                createdAbove_.insert(createdAbove_.begin(), missing);
                if (missing == missing.parent_path()) {
                    break;
                }
            }
            for (const fs::path& path : createdAbove_) {
                bool existed = false;
                if (!makeFolder(path, &existed, &problem)) {
                    removeCreated();
                    throw PackError("cannot create " + quoteForMessage(pathToUtf8(path)) + ": " +
                                    problem);
                }
            }
        }
        if (!root_.open(directory, &problem)) {
            removeCreated();
            throw PackError("cannot open " + quoted() + ": " + problem);
        }
    }

    ~ExtractionDirectory() {
        if (!kept_) {
            removeCreated();
        }
    }

    void keep() { kept_ = true; }

    // Opens the file at `components` for writing, creating the directories
    // above it.
    WrittenFile createFile(const std::vector<std::string>& components) {
        std::string relative, problem;
        std::optional<HeldFolder> below;
        HeldFolder* parent = &root_;
        for (size_t i = 0; i + 1 < components.size(); ++i) {
            relative += components[i];
            bool made = false;
            std::optional<HeldFolder> child = parent->enter(components[i], &made, &problem);
            if (made) {
                createdDirectories_.push_back(relative);
            }
            if (!child) {
                fail(relative, problem);
            }
            below = std::move(child);
            parent = &*below;
            relative += '/';
        }
        relative += components.back();
        bool existed = false;
        std::optional<WrittenFile> file = parent->createFile(components.back(), &existed, &problem);
        if (!file) {
            fail(relative, problem);
        }
        if (!existed) {
            createdFiles_.insert(relative);
        }
        return std::move(*file);
    }

    // Reports the failure to make `relative`.
    [[noreturn]] void fail(const std::string& relative, const std::string& problem) const {
        fs::path below = pathFromUtf8(relative);
        throw PackError("cannot create " +
                        quoteForMessage(pathToUtf8(directory_ / below.make_preferred())) + ": " +
                        problem);
    }

    std::string quoted() const { return quoteForMessage(pathToUtf8(directory_)); }
    const fs::path& path() const { return directory_; }

  private:
    void removeCreated() {
        for (const std::string& file : createdFiles_) {
            root_.removeBelow(file, false);
        }
        for (auto it = createdDirectories_.rbegin(); it != createdDirectories_.rend(); ++it) {
            root_.removeBelow(*it, true);
        }
        root_ = HeldFolder(); // a held folder cannot be removed on Windows
        for (auto it = createdAbove_.rbegin(); it != createdAbove_.rend(); ++it) {
            removeFolderQuietly(*it);
        }
    }

    fs::path directory_;
    HeldFolder root_;
    std::vector<fs::path> createdAbove_;          // the directory and missing parents
    std::vector<std::string> createdDirectories_; // below it, in creation order
    std::set<std::string> createdFiles_;          // below it
    bool kept_ = false;
};

// Writes each record to its file as it is decoded.
class ExtractingVisitor : public RecordVisitor {
  public:
    explicit ExtractingVisitor(ExtractionDirectory& target) : target_(target) {}

    void record(const std::u16string& path, uint64_t) override {
        finishFile();
        components_ = archivePathComponents(utf16ToUtf8(path));
        file_ = target_.createFile(components_);
    }

    void content(const unsigned char* data, size_t size) override {
        std::string problem;
        if (!file_.write(data, size, &problem)) {
            fail(problem);
        }
    }

    void finishFile() {
        std::string problem;
        if (!file_.close(&problem)) {
            fail(problem);
        }
    }

  private:
    [[noreturn]] void fail(const std::string& problem) {
        std::string relative;
        for (const std::string& component : components_) {
            relative += (relative.empty() ? "" : "/") + component;
        }
        target_.fail(relative, problem);
    }

    ExtractionDirectory& target_;
    std::vector<std::string> components_;
    WrittenFile file_;
};

} // namespace

void runExtractCommand(const fs::path& file, const fs::path& directory, bool force) {
    InspectedFile inspected(file);
    // A damaged archive is found before anything is written.
    verifiedRecords(inspected);
    ExtractionDirectory target(directory, force);
    ExtractingVisitor writer(target);
    readRecords(inspected.data(), writer);
    writer.finishFile();
    target.keep();
}
