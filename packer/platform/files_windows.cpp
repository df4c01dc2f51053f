// The file system on Windows: UTF-16 names through the wide-character calls,
// every path in its full "\\?\" form so that length does not matter, links
// and junctions seen for what they are, and, where Wine shows a Unix link as
// a plain file or folder, the final name the system finds compared with the
// name asked for.
#include "packer/platform/files.h"

#include "packer/error.h"
#include "packer/platform/windows_support.h"
#include "packer/text.h"
#include "packer/windows_names.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Held folders cannot be renamed or removed, so nobody can put a link in
// their place while names are made below them.
constexpr DWORD shareAllButDelete = FILE_SHARE_READ | FILE_SHARE_WRITE;

HANDLE openExisting(const std::wstring& path, DWORD access, DWORD share, DWORD flags) {
    return CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
}

// Whether `handle`, opened at `name` below the folder whose final path is
// `folderFinal`, is there rather than somewhere a link leads to. What cannot
// be told passes: the reparse points found before already tell of links.
bool foundWhereNamed(HANDLE handle, const std::wstring& folderFinal, std::wstring_view name) {
    if (folderFinal.empty()) {
        return true;
    }
    const std::wstring found = finalPathOf(handle);
    return found.empty() || sameNameIgnoringCase(found, childPath(folderFinal, name));
}

// The final path of `path` when it exists, else that of its nearest existing
// folder with the names below it appended as they are.
std::wstring resolvedPath(const fs::path& path) {
    std::wstring full = systemPath(path);
    std::wstring tail;
    for (;;) {
        Handle handle(openExisting(full, 0, shareAll, FILE_FLAG_BACKUP_SEMANTICS));
        if (handle.valid()) {
            std::wstring found = finalPathOf(handle.get());
            return found.empty() ? std::wstring() : found + tail;
        }
        const size_t cut = full.find_last_of(L'\\');
        if (cut == std::wstring::npos || cut < 4 || cut + 1 == full.size()) {
            return {};
        }
        tail = full.substr(cut) + tail;
        full.resize(cut);
    }
}

const char* const linkInTheWay = "a link is in its place, and links are never followed";

} // namespace

fs::path pathFromUtf8(const std::string& text) {
    return fs::path(wideFromUtf8(text));
}

std::string pathToUtf8(const fs::path& path) {
    return utf8FromWide(path.native());
}

FileKind kindOf(const fs::path& path, std::string* problem) {
    Handle handle(openExisting(systemPath(path), 0, shareAll, FILE_FLAG_BACKUP_SEMANTICS));
    if (!handle.valid()) {
        const DWORD error = GetLastError();
        if (problem) {
            *problem = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                           ? std::string()
                           : windowsErrorText(error);
        }
        return FileKind::missing;
    }
    if (GetFileType(handle.get()) != FILE_TYPE_DISK) {
        return FileKind::other;
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle.get(), &information)) {
        return FileKind::other;
    }
    return information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? FileKind::directory
                                                                   : FileKind::file;
}

bool entryExists(const fs::path& path) {
    return GetFileAttributesW(systemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool readFolder(const fs::path& folder,
                const std::function<bool(const std::string& name, bool isFolder)>& wanted,
                std::vector<FolderEntry>& entries, std::string* problem) {
    const std::wstring base = systemPath(folder);
    Handle self(openExisting(base, 0, shareAll, FILE_FLAG_BACKUP_SEMANTICS));
    if (!self.valid()) {
        *problem = lastErrorText();
        return false;
    }
    const std::wstring baseFinal = finalPathOf(self.get());
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(childPath(base, L"*").c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES) {
            return true; // a drive's root without "." and ".."
        }
        *problem = windowsErrorText(error);
        return false;
    }
    do {
        const std::wstring_view wideName = found.cFileName;
        if (wideName == L"." || wideName == L"..") {
            continue;
        }
        FolderEntry entry;
        entry.name = utf8FromWide(wideName);
        entry.kind = kindOfFound(found);
        if (!wanted(entry.name, entry.kind == FileKind::directory)) {
            continue;
        }
        if (entry.kind == FileKind::file || entry.kind == FileKind::directory) {
            const bool isFile = entry.kind == FileKind::file;
            if (isFile) {
                entry.size = uint64_t{found.nFileSizeHigh} << 32 | found.nFileSizeLow;
            }
            Handle opened(openExisting(childPath(base, wideName), isFile ? GENERIC_READ : 0,
                                       shareAll, isFile ? 0 : FILE_FLAG_BACKUP_SEMANTICS));
            if (!opened.valid()) {
                if (isFile) {
                    entry.problem = FolderEntry::cannotRead;
                    entry.problemText = lastErrorText();
                } // a folder that cannot be opened is told of when it is read
            } else if (nameProblem(entry.name).empty() &&
                       !foundWhereNamed(opened.get(), baseFinal, wideName)) {
                // (Wine gives a name that Windows cannot hold a final name
                // of its own making; such a name is refused anyway.)
                entry.kind = FileKind::symbolicLink;
            }
        }
        entries.push_back(std::move(entry));
    } while (FindNextFileW(search, &found));
    const DWORD error = GetLastError();
    FindClose(search);
    if (error != ERROR_NO_MORE_FILES) {
        *problem = windowsErrorText(error);
        return false;
    }
    return true;
}

std::optional<bool> folderIsEmpty(const fs::path& folder, std::string* problem) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(childPath(systemPath(folder), L"*").c_str(), FindExInfoBasic,
                                     &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) {
            return true;
        }
        *problem = windowsErrorText(error);
        return std::nullopt;
    }
    bool empty = true;
    do {
        const std::wstring_view name = found.cFileName;
        empty = name == L"." || name == L"..";
    } while (empty && FindNextFileW(search, &found));
    FindClose(search);
    return empty;
}

std::optional<bool> liesWithin(const fs::path& inner, const fs::path& outer) {
    const std::wstring resolvedOuter = resolvedPath(outer);
    const std::wstring resolvedInner = resolvedPath(inner);
    if (resolvedOuter.empty() || resolvedInner.empty() ||
        resolvedInner.size() < resolvedOuter.size()) {
        return resolvedOuter.empty() || resolvedInner.empty() ? std::nullopt
                                                              : std::optional<bool>(false);
    }
    const size_t length = resolvedOuter.size();
    return sameNameIgnoringCase(std::wstring_view(resolvedInner).substr(0, length),
                                resolvedOuter) &&
           (resolvedInner.size() == length || resolvedInner[length] == L'\\' ||
            resolvedOuter.back() == L'\\');
}

bool makeFolder(const fs::path& path, bool* existed, std::string* problem) {
    *existed = false;
    if (CreateDirectoryW(systemPath(path).c_str(), nullptr)) {
        return true;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        *existed = true;
        return true;
    }
    *problem = lastErrorText();
    return false;
}

void removeFileQuietly(const fs::path& path) {
    DeleteFileW(systemPath(path).c_str());
}

void removeFolderQuietly(const fs::path& path) {
    RemoveDirectoryW(systemPath(path).c_str());
}

bool seekStream(FILE* stream, uint64_t offset) {
    return _fseeki64(stream, static_cast<__int64>(offset), SEEK_SET) == 0;
}

ReadableFile::ReadableFile(const fs::path& path, std::string* problem)
    : handle_(reinterpret_cast<intptr_t>(
          openExisting(systemPath(path), GENERIC_READ, shareAll, FILE_FLAG_SEQUENTIAL_SCAN))) {
    if (!isOpen()) {
        *problem = lastErrorText();
    }
}

ReadableFile::~ReadableFile() {
    if (isOpen()) {
        CloseHandle(reinterpret_cast<HANDLE>(handle_));
    }
}

bool ReadableFile::isOpen() const {
    return reinterpret_cast<HANDLE>(handle_) != INVALID_HANDLE_VALUE;
}

std::optional<size_t> ReadableFile::read(void* data, size_t size, std::string* problem) {
    DWORD got = 0;
    const DWORD want = size < (DWORD{1} << 30) ? static_cast<DWORD>(size) : DWORD{1} << 30;
    if (!ReadFile(reinterpret_cast<HANDLE>(handle_), data, want, &got, nullptr)) {
        *problem = lastErrorText();
        return std::nullopt;
    }
    return got;
}

MappedFile::MappedFile(const fs::path& path) {
    const std::string quoted = quoteForMessage(pathToUtf8(path));
    Handle file(openExisting(systemPath(path), GENERIC_READ, shareAll, FILE_FLAG_BACKUP_SEMANTICS));
    if (!file.valid()) {
        throw PackError("cannot open " + quoted + ": " + lastErrorText());
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (GetFileType(file.get()) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(file.get(), &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        throw PackError(quoted + " is not a regular file");
    }
    const uint64_t size = uint64_t{information.nFileSizeHigh} << 32 | information.nFileSizeLow;
    if (size == 0) {
        return;
    }
    // The view keeps the mapping, and the mapping the file, for as long as it lasts.
    Handle mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    const void* view =
        mapping.valid() ? MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0) : nullptr;
    if (!view) {
        throw PackError("cannot read " + quoted + ": " + lastErrorText());
    }
    data_ = static_cast<const unsigned char*>(view);
    size_ = static_cast<size_t>(size);
}

MappedFile::~MappedFile() {
    if (data_) {
        UnmapViewOfFile(data_);
    }
}

SpillFile::SpillFile() {
    std::error_code error;
    const fs::path folder = fs::temp_directory_path(error);
    if (error) {
        throw PackError("cannot find the temporary folder: " + error.message());
    }
    // Deleted by the system at the handle's close, however the packer ends;
    // the name only has to be one that no other file has.
    static unsigned made = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring name = L"onefile-pack-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(++made) + L"-" +
                                  std::to_wstring(GetTickCount64()) + L".tmp";
        HANDLE file =
            CreateFileW(systemPath(folder / name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                        CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            handle_ = reinterpret_cast<intptr_t>(file);
            return;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    throw PackError("cannot make a temporary file in " + quoteForMessage(pathToUtf8(folder)) +
                    ": " + lastErrorText());
}

SpillFile::~SpillFile() {
    if (view_) {
        UnmapViewOfFile(view_);
    }
    if (handle_ != -1) {
        CloseHandle(reinterpret_cast<HANDLE>(handle_));
    }
}

void SpillFile::write(const unsigned char* data, size_t size) {
    while (size > 0) {
        const DWORD piece = size < (DWORD{1} << 30) ? static_cast<DWORD>(size) : DWORD{1} << 30;
        DWORD written = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(handle_), data, piece, &written, nullptr) ||
            written == 0) {
            throw PackError("cannot write a temporary file: " + lastErrorText());
        }
        data += written;
        size -= written;
        size_ += written;
    }
}

const unsigned char* SpillFile::map() {
    if (!view_ && size_ > 0) {
        // The view keeps the mapping for as long as it lasts.
        Handle mapping(CreateFileMappingW(reinterpret_cast<HANDLE>(handle_), nullptr, PAGE_READONLY,
                                          0, 0, nullptr));
        const void* view =
            mapping.valid() ? MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0) : nullptr;
        if (!view) {
            throw PackError("cannot read back a temporary file: " + lastErrorText());
        }
        view_ = static_cast<const unsigned char*>(view);
    }
    return view_;
}

WrittenFile::~WrittenFile() {
    std::string ignored;
    close(&ignored);
}

WrittenFile& WrittenFile::operator=(WrittenFile&& other) noexcept {
    if (this != &other) {
        std::string ignored;
        close(&ignored);
        handle_ = other.handle_;
        other.handle_ = -1;
    }
    return *this;
}

bool WrittenFile::write(const unsigned char* data, size_t size, std::string* problem) {
    while (size > 0) {
        const DWORD piece = size < (DWORD{1} << 30) ? static_cast<DWORD>(size) : DWORD{1} << 30;
        DWORD written = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(handle_), data, piece, &written, nullptr) ||
            written == 0) {
            *problem = lastErrorText();
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

bool WrittenFile::close(std::string* problem) {
    HANDLE handle = reinterpret_cast<HANDLE>(handle_);
    handle_ = -1;
    if (handle != INVALID_HANDLE_VALUE && !CloseHandle(handle)) {
        *problem = lastErrorText();
        return false;
    }
    return true;
}

HeldFolder::~HeldFolder() {
    if (handle_ != -1) {
        CloseHandle(reinterpret_cast<HANDLE>(handle_));
    }
}

HeldFolder::HeldFolder(HeldFolder&& other) noexcept
    : handle_(other.handle_), path_(std::move(other.path_)) {
    other.handle_ = -1;
}

HeldFolder& HeldFolder::operator=(HeldFolder&& other) noexcept {
    if (this != &other) {
        if (handle_ != -1) {
            CloseHandle(reinterpret_cast<HANDLE>(handle_));
        }
        handle_ = other.handle_;
        path_ = std::move(other.path_);
        other.handle_ = -1;
    }
    return *this;
}

bool HeldFolder::open(const fs::path& path, std::string* problem) {
    *this = HeldFolder();
    const std::wstring full = systemPath(path);
    Handle handle(openExisting(full, 0, shareAllButDelete, FILE_FLAG_BACKUP_SEMANTICS));
    if (!handle.valid()) {
        *problem = lastErrorText();
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(handle.release());
    path_ = full;
    return true;
}

std::optional<HeldFolder> HeldFolder::enter(const std::string& name, bool* made,
                                            std::string* problem) {
    const std::wstring wideName = wideFromUtf8(name);
    const std::wstring child = childPath(path_.native(), wideName);
    *made = CreateDirectoryW(child.c_str(), nullptr) != 0;
    if (!*made && GetLastError() != ERROR_ALREADY_EXISTS) {
        *problem = lastErrorText();
        return std::nullopt;
    }
    Handle handle(openExisting(child, 0, shareAllButDelete,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT));
    FILE_ATTRIBUTE_TAG_INFO information;
    if (!handle.valid() || !GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo,
                                                         &information, sizeof information)) {
        *problem = lastErrorText();
        return std::nullopt;
    }
    if ((information.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !foundWhereNamed(handle.get(), finalPathOf(reinterpret_cast<HANDLE>(handle_)), wideName)) {
        *problem = linkInTheWay;
        return std::nullopt;
    }
    if (!(information.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *problem = windowsErrorText(ERROR_DIRECTORY);
        return std::nullopt;
    }
    HeldFolder folder;
    folder.handle_ = reinterpret_cast<intptr_t>(handle.release());
    folder.path_ = child;
    return folder;
}

std::optional<WrittenFile> HeldFolder::createFile(const std::string& name, bool* existed,
                                                  std::string* problem) {
    const std::wstring wideName = wideFromUtf8(name);
    const std::wstring child = childPath(path_.native(), wideName);
    // Opened as it is, never through a link, and emptied only once it is
    // known to be the file named here.
    Handle file(openExisting(child, GENERIC_WRITE, FILE_SHARE_READ, FILE_FLAG_OPEN_REPARSE_POINT));
    *existed = file.valid();
    if (!file.valid()) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            *problem = windowsErrorText(error);
            return std::nullopt;
        }
        file.reset(CreateFileW(child.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                               nullptr));
        if (!file.valid()) {
            *problem = lastErrorText();
            return std::nullopt;
        }
    }
    FILE_ATTRIBUTE_TAG_INFO information;
    if (!GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &information,
                                      sizeof information)) {
        *problem = lastErrorText();
        return std::nullopt;
    }
    if ((information.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !foundWhereNamed(file.get(), finalPathOf(reinterpret_cast<HANDLE>(handle_)), wideName)) {
        if (!*existed) { // made where a link led: gone again as it closes
            FILE_DISPOSITION_INFO disposition = {TRUE};
            SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition,
                                       sizeof disposition);
        }
        *problem = linkInTheWay;
        return std::nullopt;
    }
    if (*existed) {
        FILE_END_OF_FILE_INFO end = {};
        if (!SetFileInformationByHandle(file.get(), FileEndOfFileInfo, &end, sizeof end)) {
            *problem = lastErrorText();
            return std::nullopt;
        }
    }
    return WrittenFile(reinterpret_cast<intptr_t>(file.release()));
}

void HeldFolder::removeBelow(const std::string& relative, bool isFolder) {
    std::wstring path = wideFromUtf8(relative);
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    path = childPath(path_.native(), path);
    if (isFolder) {
        RemoveDirectoryW(path.c_str());
    } else {
        DeleteFileW(path.c_str());
    }
}
