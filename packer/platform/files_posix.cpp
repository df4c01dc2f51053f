// The file system on Linux: names are bytes, which the name checks judge as
// UTF-8; descriptors, and *at calls that never follow a link below a folder.
#include "packer/platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "packer/error.h"
#include "packer/text.h"

namespace fs = std::filesystem;

namespace {

std::string errnoText() {
    return systemErrorText(errno);
}

FileKind kindOfMode(mode_t mode) {
    if (S_ISREG(mode)) {
        return FileKind::file;
    }
    if (S_ISDIR(mode)) {
        return FileKind::directory;
    }
    return S_ISLNK(mode) ? FileKind::symbolicLink : FileKind::other;
}

void closeDescriptor(intptr_t& descriptor) {
    if (descriptor >= 0) {
        ::close(static_cast<int>(descriptor));
        descriptor = -1;
    }
}

} // namespace

fs::path pathFromUtf8(const std::string& text) {
    return fs::path(text);
}

std::string pathToUtf8(const fs::path& path) {
    return path.native();
}

FileKind kindOf(const fs::path& path, std::string* problem) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        if (problem) {
            *problem = errno == ENOENT ? std::string() : errnoText();
        }
        return FileKind::missing;
    }
    return kindOfMode(info.st_mode);
}

bool entryExists(const fs::path& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

bool readFolder(const fs::path& folder,
                const std::function<bool(const std::string& name, bool isFolder)>& wanted,
                std::vector<FolderEntry>& entries, std::string* problem) {
    int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = descriptor < 0 ? nullptr : fdopendir(descriptor);
    if (!listing) {
        *problem = errnoText();
        if (descriptor >= 0) {
            ::close(descriptor);
        }
        return false;
    }
    for (;;) {
        errno = 0;
        const dirent* found = readdir(listing);
        if (!found) {
            break;
        }
        const std::string name = found->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        FolderEntry entry;
        entry.name = name;
        struct stat info;
        if (fstatat(descriptor, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            entry.problem = FolderEntry::cannotExamine;
            entry.problemText = errnoText();
            entries.push_back(std::move(entry));
            continue;
        }
        entry.kind = kindOfMode(info.st_mode);
        if (!wanted(name, entry.kind == FileKind::directory)) {
            continue;
        }
        if (entry.kind == FileKind::file) {
            entry.size = static_cast<uint64_t>(info.st_size);
            int file = openat(descriptor, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
            if (file < 0) {
                entry.problem = FolderEntry::cannotRead;
                entry.problemText = errnoText();
            } else {
                ::close(file);
            }
        }
        entries.push_back(std::move(entry));
    }
    const int error = errno;
    closedir(listing);
    if (error != 0) {
        *problem = systemErrorText(error);
        return false;
    }
    return true;
}

std::optional<bool> folderIsEmpty(const fs::path& folder, std::string* problem) {
    std::error_code error;
    const bool empty = fs::is_empty(folder, error);
    if (error) {
        *problem = error.message();
        return std::nullopt;
    }
    return empty;
}

std::optional<bool> liesWithin(const fs::path& inner, const fs::path& outer) {
    std::error_code error;
    fs::path resolvedOuter = fs::weakly_canonical(outer, error);
    fs::path resolvedInner = fs::weakly_canonical(fs::absolute(inner, error), error);
    if (error) {
        return std::nullopt;
    }
    auto mismatch = std::mismatch(resolvedOuter.begin(), resolvedOuter.end(), resolvedInner.begin(),
                                  resolvedInner.end());
    return mismatch.first == resolvedOuter.end();
}

bool makeFolder(const fs::path& path, bool* existed, std::string* problem) {
    *existed = false;
    if (mkdir(path.c_str(), 0777) == 0) {
        return true;
    }
    if (errno == EEXIST) {
        *existed = true;
        return true;
    }
    *problem = errnoText();
    return false;
}

void removeFileQuietly(const fs::path& path) {
    unlink(path.c_str());
}

void removeFolderQuietly(const fs::path& path) {
    rmdir(path.c_str());
}

bool seekStream(FILE* stream, uint64_t offset) {
    return fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0;
}

ReadableFile::ReadableFile(const fs::path& path, std::string* problem)
    : handle_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (handle_ < 0) {
        *problem = errnoText();
    }
}

ReadableFile::~ReadableFile() {
    closeDescriptor(handle_);
}

bool ReadableFile::isOpen() const {
    return handle_ >= 0;
}

std::optional<size_t> ReadableFile::read(void* data, size_t size, std::string* problem) {
    for (;;) {
        ssize_t got = ::read(static_cast<int>(handle_), data, size);
        if (got >= 0) {
            return static_cast<size_t>(got);
        }
        if (errno != EINTR) {
            *problem = errnoText();
            return std::nullopt;
        }
    }
}

MappedFile::MappedFile(const fs::path& path) {
    int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        throw PackError("cannot open " + quoteForMessage(pathToUtf8(path)) + ": " + errnoText());
    }
    struct stat info;
    if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(descriptor);
        throw PackError(quoteForMessage(pathToUtf8(path)) + " is not a regular file");
    }
    size_ = static_cast<size_t>(info.st_size);
    if (size_ > 0) {
        void* mapped = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, descriptor, 0);
        if (mapped == MAP_FAILED) {
            int error = errno;
            ::close(descriptor);
            throw PackError("cannot read " + quoteForMessage(pathToUtf8(path)) + ": " +
                            systemErrorText(error));
        }
        data_ = static_cast<const unsigned char*>(mapped);
    }
    ::close(descriptor);
}

MappedFile::~MappedFile() {
    if (data_) {
        munmap(const_cast<unsigned char*>(data_), size_);
    }
}

SpillFile::SpillFile() {
    // Where the user says, else where large temporary files belong: /tmp is
    // often memory, which this file is to spare.
    std::vector<std::string> folders;
    if (const char* chosen = std::getenv("TMPDIR"); chosen && *chosen) {
        folders.push_back(chosen);
    }
    folders.push_back("/var/tmp");
    folders.push_back("/tmp");
    std::string problem;
    for (const std::string& folder : folders) {
        std::string name = folder + "/onefile-pack-XXXXXX";
        const int descriptor = mkostemp(name.data(), O_CLOEXEC);
        if (descriptor >= 0) {
            unlink(name.c_str());
            handle_ = descriptor;
            return;
        }
        problem += (problem.empty() ? "" : "; ") + quoteForMessage(folder) + ": " + errnoText();
    }
    throw PackError("cannot make a temporary file in " + problem);
}

SpillFile::~SpillFile() {
    if (view_) {
        munmap(const_cast<unsigned char*>(view_), size_);
    }
    closeDescriptor(handle_);
}

void SpillFile::write(const unsigned char* data, size_t size) {
    while (size > 0) {
        ssize_t written = ::write(static_cast<int>(handle_), data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            throw PackError("cannot write a temporary file: " + errnoText());
        }
        data += written;
        size -= static_cast<size_t>(written);
        size_ += static_cast<size_t>(written);
    }
}

const unsigned char* SpillFile::map() {
    if (!view_ && size_ > 0) {
        void* mapped = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, static_cast<int>(handle_), 0);
        if (mapped == MAP_FAILED) {
            throw PackError("cannot read back a temporary file: " + errnoText());
        }
        view_ = static_cast<const unsigned char*>(mapped);
    }
    return view_;
}

WrittenFile::~WrittenFile() {
    closeDescriptor(handle_);
}

WrittenFile& WrittenFile::operator=(WrittenFile&& other) noexcept {
    if (this != &other) {
        closeDescriptor(handle_);
        handle_ = other.handle_;
        other.handle_ = -1;
    }
    return *this;
}

bool WrittenFile::write(const unsigned char* data, size_t size, std::string* problem) {
    while (size > 0) {
        ssize_t written = ::write(static_cast<int>(handle_), data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            *problem = errnoText();
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool WrittenFile::close(std::string* problem) {
    int descriptor = static_cast<int>(handle_);
    handle_ = -1;
    if (descriptor >= 0 && ::close(descriptor) != 0) {
        *problem = errnoText();
        return false;
    }
    return true;
}

HeldFolder::~HeldFolder() {
    closeDescriptor(handle_);
}

HeldFolder::HeldFolder(HeldFolder&& other) noexcept : handle_(other.handle_) {
    other.handle_ = -1;
}

HeldFolder& HeldFolder::operator=(HeldFolder&& other) noexcept {
    if (this != &other) {
        closeDescriptor(handle_);
        handle_ = other.handle_;
        other.handle_ = -1;
    }
    return *this;
}

bool HeldFolder::open(const fs::path& path, std::string* problem) {
    closeDescriptor(handle_);
    handle_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle_ < 0) {
        *problem = errnoText();
        return false;
    }
    return true;
}

std::optional<HeldFolder> HeldFolder::enter(const std::string& name, bool* made,
                                            std::string* problem) {
    const int descriptor = static_cast<int>(handle_);
    *made = mkdirat(descriptor, name.c_str(), 0777) == 0;
    if (!*made && errno != EEXIST) {
        *problem = errnoText();
        return std::nullopt;
    }
    HeldFolder child;
    child.handle_ =
        openat(descriptor, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child.handle_ < 0) {
        *problem = errnoText();
        return std::nullopt;
    }
    return child;
}

std::optional<WrittenFile> HeldFolder::createFile(const std::string& name, bool* existed,
                                                  std::string* problem) {
    const int descriptor = static_cast<int>(handle_);
    struct stat info;
    *existed = fstatat(descriptor, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    int file = openat(descriptor, name.c_str(),
                      O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (file < 0) {
        *problem = errnoText();
        return std::nullopt;
    }
    return WrittenFile(file);
}

void HeldFolder::removeBelow(const std::string& relative, bool isFolder) {
    unlinkat(static_cast<int>(handle_), relative.c_str(), isFolder ? AT_REMOVEDIR : 0);
}
