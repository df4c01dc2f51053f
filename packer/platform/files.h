// The file system as the packer uses it, the same on Linux and on Windows:
// paths come and go as UTF-8, and what differs (wide-character calls and
// paths of any length on Windows, descriptors on Linux) stays in
// files_posix.cpp and files_windows.cpp. Failures come back as the system's
// own text, for messages that name the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// A path given as UTF-8 (a command line's, a record's) as the host names it.
std::filesystem::path pathFromUtf8(const std::string& text);

// A path as UTF-8, for messages and for names. On Windows, UTF-16 that is not
// valid Unicode keeps its unpaired surrogates, encoded as UTF-8 would encode
// them, so the name checks refuse the name instead of meeting another one.
std::string pathToUtf8(const std::filesystem::path& path);

// Whether the file system takes names equal but for case for one (Windows).
#ifdef _WIN32
constexpr bool namesIgnoreCase = true;
#else
constexpr bool namesIgnoreCase = false;
#endif

enum class FileKind { missing, file, directory, symbolicLink, junction, other };

// What `path` names, links followed; `missing` also when it cannot be
// examined, with the system's reason in `problem` (empty when it is absent).
FileKind kindOf(const std::filesystem::path& path, std::string* problem = nullptr);

// Whether anything, a dangling link too, lies at `path`.
bool entryExists(const std::filesystem::path& path);

// One entry of a folder, as it lies there: a link is a link, never what it
// points to.
struct FolderEntry {
    enum Problem { none, cannotExamine, cannotRead };
    std::string name; // UTF-8 (see pathToUtf8)
    FileKind kind = FileKind::other;
    uint64_t size = 0;       // a regular file's
    Problem problem = none;  // what could not be done with it
    std::string problemText; // the system's reason
};

// Lists `folder`, each entry but "." and "..". `wanted(name, isFolder)` is
// asked first: what it declines is neither examined further nor listed. A
// regular file is opened once for reading, so that one that cannot be read
// is known before anything is packed. On Windows an entry that the system
// finds elsewhere than in this folder (a Unix link under Wine, which shows
// no reparse point) is a symbolic link. Returns false, with the reason in
// `problem`, when the folder itself cannot be read.
bool readFolder(const std::filesystem::path& folder,
                const std::function<bool(const std::string& name, bool isFolder)>& wanted,
                std::vector<FolderEntry>& entries, std::string* problem);

// Whether the folder holds nothing; nothing, with the reason, when it cannot
// be read.
std::optional<bool> folderIsEmpty(const std::filesystem::path& folder, std::string* problem);

// The whole of a regular file; nothing, with the reason, when it cannot be read.
std::optional<std::string> readWholeFile(const std::filesystem::path& path, std::string* problem);

// Whether `inner` is `outer` or lies below it, links and, on Windows, case
// and short names resolved; nothing when that cannot be told.
std::optional<bool> liesWithin(const std::filesystem::path& inner,
                               const std::filesystem::path& outer);

// Makes the folder `path`; false, with the reason, unless it was made or was
// there already (`existed` tells which).
bool makeFolder(const std::filesystem::path& path, bool* existed, std::string* problem);
// Remove a file, or an empty folder; quietly, as they are undoing work.
void removeFileQuietly(const std::filesystem::path& path);
void removeFolderQuietly(const std::filesystem::path& path);

// Moves `stream` to `offset`, which may lie beyond 2 GiB; false on failure.
bool seekStream(FILE* stream, uint64_t offset);

// A regular file read from start to end.
class ReadableFile {
  public:
    // Opens `path`; `problem` says why not, and the file is then closed.
    ReadableFile(const std::filesystem::path& path, std::string* problem);
    ~ReadableFile();
    ReadableFile(const ReadableFile&) = delete;
    ReadableFile& operator=(const ReadableFile&) = delete;
    bool isOpen() const;
    // Up to `size` bytes; 0 at the end; nothing, with the reason, on failure.
    std::optional<size_t> read(void* data, size_t size, std::string* problem);

  private:
    intptr_t handle_;
};

// A file mapped read-only into memory.
class MappedFile {
  public:
    // Throws PackError naming `path` when it cannot be mapped.
    explicit MappedFile(const std::filesystem::path& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    const unsigned char* data() const { return data_; }
    size_t size() const { return size_; }

  private:
    const unsigned char* data_ = nullptr;
    size_t size_ = 0;
};

// Bytes set aside in a temporary file of their own, for what is too large
// to hold in memory, and read back through a mapping. No name of it
// outlasts it: on Linux it has none once made, on Windows the system
// deletes it when its handle closes, also when the packer is ended.
class SpillFile {
  public:
    // Makes the file in the system's temporary folder; throws PackError
    // when it cannot.
    SpillFile();
    ~SpillFile();
    SpillFile(const SpillFile&) = delete;
    SpillFile& operator=(const SpillFile&) = delete;
    // Appends `size` bytes; throws PackError when they cannot be written.
    void write(const unsigned char* data, size_t size);
    // What was written, mapped read-only until this is destroyed; nothing
    // is written after. Null when nothing was written.
    const unsigned char* map();
    size_t size() const { return size_; }

  private:
    intptr_t handle_ = -1;
    size_t size_ = 0;
    const unsigned char* view_ = nullptr;
};

// A file being written below a HeldFolder.
class WrittenFile {
  public:
    WrittenFile() = default;
    explicit WrittenFile(intptr_t handle) : handle_(handle) {}
    ~WrittenFile();
    WrittenFile(WrittenFile&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }
    WrittenFile& operator=(WrittenFile&& other) noexcept;
    // False, with the reason, when not all of it was written.
    bool write(const unsigned char* data, size_t size, std::string* problem);
    // Closes it; false, with the reason, when its data may not have reached it.
    bool close(std::string* problem);

  private:
    intptr_t handle_ = -1;
};

// A folder held open, below which folders and files are made one name at a
// time without ever following a link (a symbolic link, a junction, or under
// Wine a Unix link), so that nothing is written outside it whatever lies
// below it already.
class HeldFolder {
  public:
    HeldFolder() = default;
    ~HeldFolder();
    HeldFolder(HeldFolder&& other) noexcept;
    HeldFolder& operator=(HeldFolder&& other) noexcept;
    // Opens the folder at `path`; false, with the reason, when it cannot.
    bool open(const std::filesystem::path& path, std::string* problem);
    // Makes the folder `name` here unless it is there (`made` tells), then
    // opens it, refusing a link.
    std::optional<HeldFolder> enter(const std::string& name, bool* made, std::string* problem);
    // Opens the file `name` here for writing, emptied, refusing a link;
    // `existed` tells whether there was one.
    std::optional<WrittenFile> createFile(const std::string& name, bool* existed,
                                          std::string* problem);
    // Removes, quietly, the file or empty folder at `relative` ("/" between
    // names) below this folder.
    void removeBelow(const std::string& relative, bool isFolder);

  private:
    intptr_t handle_ = -1;
    std::filesystem::path path_; // Windows: its full path, for the names below it
};
