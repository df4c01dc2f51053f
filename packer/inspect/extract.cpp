#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "packer/error.h"
#include "packer/inspect/inspect_commands.h"
#include "packer/inspect/inspected_file.h"
#include "packer/text.h"

namespace fs = std::filesystem;

namespace {

class Descriptor {
  public:
    explicit Descriptor(int descriptor = -1) : descriptor_(descriptor) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor(Descriptor&& other) noexcept : descriptor_(other.descriptor_) {
        other.descriptor_ = -1;
    }
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor& operator=(Descriptor&& other) noexcept {
        reset(other.descriptor_);
        other.descriptor_ = -1;
        return *this;
    }
    int get() const { return descriptor_; }
    void reset(int descriptor = -1) {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
        descriptor_ = descriptor;
    }
    // Closes and reports whether the data reached the file.
    bool close() {
        int descriptor = descriptor_;
        descriptor_ = -1;
        return descriptor < 0 || ::close(descriptor) == 0;
    }

  private:
    int descriptor_;
};

// The directory the records go to. Everything this run creates below it, and
// the directory itself when this run made it, is removed again unless the
// extraction is kept. Paths below it are opened one name at a time without
// following symbolic links, so nothing is ever written outside it.
class ExtractionDirectory {
  public:
    ExtractionDirectory(const fs::path& directory, bool force) : directory_(directory) {
        std::error_code error;
        fs::file_status status = fs::status(directory, error);
        if (fs::exists(status)) {
            if (!fs::is_directory(status)) {
                throw PackError(quoted() + " is not a directory");
            }
            if (!force) {
                bool empty = fs::is_empty(directory, error);
                if (error) {
                    throw PackError("cannot read " + quoted() + ": " + error.message());
                }
                if (!empty) {
                    throw PackError(quoted() +
                                    " is not empty; give --force to write into it anyway");
                }
            }
        } else {
            // Created from the first missing ancestor down, removed in reverse.
            for (fs::path missing = directory; !missing.empty() && !fs::exists(missing, error);
                 missing = missing.parent_path()) {
                createdAbove_.insert(createdAbove_.begin(), missing);
                if (missing == missing.parent_path()) {
                    break;
                }
            }
            for (const fs::path& path : createdAbove_) {
                if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
                    int code = errno;
                    removeCreated();
                    throw PackError("cannot create " + quoteForMessage(path.string()) + ": " +
                                    systemErrorText(code));
                }
            }
        }
        root_.reset(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (root_.get() < 0) {
            int code = errno;
            removeCreated();
            throw PackError("cannot open " + quoted() + ": " + systemErrorText(code));
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
    Descriptor createFile(const std::vector<std::string>& components) {
        Descriptor parent(dup(root_.get()));
        std::string relative;
        for (size_t i = 0; i + 1 < components.size(); ++i) {
            relative += components[i];
            if (mkdirat(parent.get(), components[i].c_str(), 0777) == 0) {
                createdDirectories_.push_back(relative);
            } else if (errno != EEXIST) {
                fail(relative);
            }
            Descriptor child(openat(parent.get(), components[i].c_str(),
                                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (child.get() < 0) {
                fail(relative);
            }
            parent = std::move(child);
            relative += '/';
        }
        const std::string& name = components.back();
        relative += name;
        struct stat existing;
        bool existed = fstatat(parent.get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
        Descriptor file(openat(parent.get(), name.c_str(),
                               O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (file.get() < 0) {
            fail(relative);
        }
        if (!existed) {
            createdFiles_.insert(relative);
        }
        return file;
    }

    // Reports errno's failure at `relative`.
    [[noreturn]] void fail(const std::string& relative) const {
        int code = errno;
        throw PackError("cannot create " + quoteForMessage((directory_ / relative).string()) +
                        ": " + systemErrorText(code));
    }

    std::string quoted() const { return quoteForMessage(directory_.string()); }
    const fs::path& path() const { return directory_; }

  private:
    void removeCreated() {
        for (const std::string& file : createdFiles_) {
            unlinkat(root_.get(), file.c_str(), 0);
        }
        for (auto it = createdDirectories_.rbegin(); it != createdDirectories_.rend(); ++it) {
            unlinkat(root_.get(), it->c_str(), AT_REMOVEDIR);
        }
        for (auto it = createdAbove_.rbegin(); it != createdAbove_.rend(); ++it) {
            rmdir(it->c_str());
        }
    }

    fs::path directory_;
    Descriptor root_;
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
        while (size > 0) {
            ssize_t written = write(file_.get(), data, size);
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                fail();
            }
            data += written;
            size -= static_cast<size_t>(written);
        }
    }

    void finishFile() {
        if (!file_.close()) {
            fail();
        }
    }

  private:
    [[noreturn]] void fail() {
        int code = errno;
        std::string relative;
        for (const std::string& component : components_) {
            relative += (relative.empty() ? "" : "/") + component;
        }
        errno = code;
        target_.fail(relative);
    }

    ExtractionDirectory& target_;
    std::vector<std::string> components_;
    Descriptor file_;
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
