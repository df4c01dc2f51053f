#include "extract/cache.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "archive/reader.h"
#include "archive/record_name.h"
#include "base/bounded.h"
#include "base/build_constants.h"
#include "base/handshake.h"
#include "base/seams.h"
#include "base/security.h"
#include "base/state.h"
#include "cleanup/cleanup.h"
#include "cleanup/tree.h"
#include "errors/errors.h"
#include "extract/extract.h"
#include "extract/target_directory.h"
#include "extract/testing.h"
#include "paths/environment.h"
#include "paths/path_spec.h"
#include "progress/progress_window.h"

namespace {

// Rounds of looking at what is at the cache's name before giving up: another
// run may hold an incomplete copy (its files in use) for a while.
constexpr int cacheAttempts = 20;
constexpr DWORD cacheRetryPauseMilliseconds = 100;
// Copies a run unpacks before it gives up when each is gone before it can
// hold it: a run of another build may remove a complete copy in the moment
// between its move into place and this run's hold.
constexpr int cacheUnpackRounds = 3;

const wchar_t markerName[] = L"" ONEFILE_CACHE_MARKER_NAME;
// The marker's text, in ASCII. A run writes its first line into the copy it
// unpacks into before anything else, and completes it once every file is
// there:
//   "onefile cache product <product> build <id>" and a line end, at first;
//   the same followed by " files <records> bytes <bytes> digest <digest>"
//   and a line end, complete.
// <product> is the product's key, and <digest> that of the names and sizes
// the unpacked tree held (hexadecimal digits). The first line proves that a
// copy, complete or not, is one that this product's runs made: nothing
// without it is ever moved or removed, as it may be the user's own, or
// another product's that shares the folder. Builds made before the marker
// named the product wrote "onefile cache <id> <records> <bytes>" (and then
// the digest) at the end only; whose product made such a copy is not known.
constexpr char markerStart[] = "onefile cache product ";
constexpr char markerBuild[] = " build ";
constexpr char markerFiles[] = " files ";
constexpr char olderMarkerStart[] = "onefile cache ";
constexpr size_t keyDigits = 16;
constexpr size_t digestDigits = 16;
constexpr char markerEnd[] = "\r\n";
constexpr size_t markerEndLength = sizeof markerEnd - 1;
// Room for a marker's text: the complete form with the largest counts is
// about 160 characters.
constexpr size_t markerCapacity = 256;
// What a move aside answers for a copy that carries no proof of this
// product's runs.
constexpr DWORD notThisProductsCopy = ERROR_FILE_EXISTS;
// A sibling this run unpacks into, and one an incomplete copy is set aside
// to: the cache's name, a kind, and the run's values.
#define ONEFILE_PARTIAL_KIND L"" ONEFILE_CACHE_PARTIAL_KIND
#define ONEFILE_ASIDE_KIND L".aside-"
#define ONEFILE_RUN_VALUES L"" ONEFILE_CACHE_RUN_VALUES
const wchar_t partialSuffix[] = ONEFILE_PARTIAL_KIND ONEFILE_RUN_VALUES;
// What a move aside answers when another entry than the one looked at has
// taken the name meanwhile.
constexpr DWORD anotherEntryAtTheName = ERROR_OBJECT_ALREADY_EXISTS;

// The cache directory, which targetDirectoryPath leaves while a first run
// unpacks into its partial sibling.
wchar_t cacheDirectoryPath[pathCapacity];
// The folder that holds it, its siblings and the other builds' directories.
wchar_t cacheFolderPath[pathCapacity];
// What the system calls that folder, once it exists (see noteDirectoryName):
// an entry in it whose handle goes by another name was reached through a
// link, and is neither trusted, moved nor removed. Empty until known.
wchar_t cacheFolderName[pathCapacity];
constexpr uint64_t hashBasis = 0xcbf29ce484222325ull;

// FNV-1a over `count` UTF-16 code units, continued from `hash`.
uint64_t hashUnits(uint64_t hash, const wchar_t* units, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        hash = (hash ^ static_cast<uint16_t>(units[i])) * 0x100000001b3ull;
    }
    return hash;
}

// Spreads a hash over all 64 bits, so that a sum of many stays telling.
uint64_t finishHash(uint64_t hash) {
    hash = (hash ^ hash >> 30) * 0xbf58476d1ce4e5b9ull;
    hash = (hash ^ hash >> 27) * 0x94d049bb133111ebull;
    return hash ^ hash >> 31;
}

// `value` as 16 lower-case hexadecimal digits, and a terminator, into `text`.
void formatHex(uint64_t value, char* text) {
    for (size_t i = 0; i < 16; ++i) {
        text[i] = "0123456789abcdef"[value >> 4 * (15 - i) & 0xf];
    }
    text[16] = 0;
}

// The first cacheIdLength characters of `name` (a build's id and perhaps
// more), as ASCII with a terminator, into `id`.
void asciiId(const wchar_t* name, char* id) {
    size_t i = 0;
    for (; i < cacheIdLength && name[i] != 0; ++i) {
        id[i] = static_cast<char>(name[i]);
    }
    id[i] = 0;
}

// The product's key: a hash of the company's name and the product's, which
// tells apart two products that share a folder (two companies' products of
// one name too). Every build of a product has it: their copies are the
// product's other versions.
uint64_t productKey(const wchar_t* company, const wchar_t* product) {
    const wchar_t between = 0;
    uint64_t hash = hashUnits(hashBasis, company, wcslen(company));
    hash = hashUnits(hash, &between, 1);
    return finishHash(hashUnits(hash, product, wcslen(product)));
}

// Whose copies a run may move and remove: the start of a marker that names
// the product ("onefile cache product <key> build "), and the run's own
// build's id.
struct CopyOwner {
    char productPart[64];
    size_t productPartLength;
    char id[cacheIdLength + 1];
};

void formatOwner(CopyOwner* owner, const wchar_t* id, const wchar_t* company,
                 const wchar_t* product) {
    char key[keyDigits + 1];
    formatHex(productKey(company, product), key);
    int length = snprintf(owner->productPart, sizeof owner->productPart, "%s%s%s", markerStart, key,
                          markerBuild);
    owner->productPartLength = length > 0 ? static_cast<size_t>(length) : 0;
    asciiId(id, owner->id);
}

// The marker's text for this build up to its digest.
char expectedMarker[markerCapacity];
size_t expectedMarkerLength;
// Whose copies this run may replace: this build's and its product's.
CopyOwner runOwner;
// The cache directory's spec: the build's spec, which names the folder that
// holds each build's cache, a backslash and the build's id.
wchar_t cacheSpec[pathCapacity];
// Specs for the siblings: the cache's spec and a suffix.
wchar_t siblingSpec[pathCapacity];

void formatExpectedMarker() {
    formatOwner(&runOwner, onefileCacheId, onefileCompanyName, onefileProductName);
    MarkerCounts counts = {onefileCacheRecordCount, onefileCacheContentSize, 0};
    size_t length = formatMarker(expectedMarker, sizeof expectedMarker, onefileCacheId,
                                 onefileCompanyName, onefileProductName, &counts);
    if (length == 0) {
        terminateImmediately();
    }
    // Up to the digest, which each copy's own files give.
    expectedMarkerLength = length - digestDigits - markerEndLength;
}

// `directory` \ `name` into `path` (capacity pathCapacity).
void joinPath(wchar_t* path, const wchar_t* directory, const wchar_t* name) {
    copyBounded(path, pathCapacity, directory);
    appendBounded(path, pathCapacity, L"\\");
    appendBounded(path, pathCapacity, name);
}

// Reads the start of the marker in `directory` into `text`; the bytes read,
// or 0 when there is no marker to read, with the system's reason in
// `*error` when one is asked for.
DWORD readMarker(const wchar_t* directory, char* text, DWORD capacity, DWORD* error = nullptr) {
    wchar_t path[pathCapacity];
    joinPath(path, directory, markerName);
    HANDLE marker = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (marker == INVALID_HANDLE_VALUE) {
        if (error != nullptr) {
            *error = GetLastError();
        }
        return 0;
    }
    DWORD read = 0;
    if (!ReadFile(marker, text, capacity, &read, nullptr)) {
        read = 0;
    }
    CloseHandle(marker);
    return read;
}

// Whether `directory` holds this build's marker, and nothing more; its
// digest in `*digest`.
bool readExpectedMarker(const wchar_t* directory, uint64_t* digest) {
    char text[sizeof expectedMarker + 1];
    DWORD read = readMarker(directory, text, sizeof text);
    constexpr size_t endLength = sizeof markerEnd - 1;
    if (read != expectedMarkerLength + digestDigits + endLength ||
        memcmp(text, expectedMarker, expectedMarkerLength) != 0 ||
        memcmp(text + expectedMarkerLength + digestDigits, markerEnd, endLength) != 0) {
        return false;
    }
    *digest = 0;
    for (size_t i = 0; i < digestDigits; ++i) {
        char c = text[expectedMarkerLength + i];
        unsigned value = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 16;
        if (value == 16) {
            return false;
        }
        *digest = *digest << 4 | value;
    }
    return true;
}

// What a copy's marker tells of who made it.
enum class Claim {
    none,     // nothing proves that this product's runs made it
    ours,     // this product's runs made it, complete or not
    complete, // the same, and complete: the marker of the build its name gives, written last
};

// What the marker in `directory`, a copy whose name begins with the build's
// id `id` (ASCII), tells `owner`; why nothing could be read in `*error`.
Claim claimOf(const wchar_t* directory, const char* id, const CopyOwner& owner, DWORD* error) {
    char text[markerCapacity];
    DWORD read = readMarker(directory, text, sizeof text, error);
    const size_t product = owner.productPartLength;
    if (product != 0 && read >= product && memcmp(text, owner.productPart, product) == 0) {
        constexpr size_t filesLength = sizeof markerFiles - 1;
        const char* build = text + product;
        bool complete = read > product + cacheIdLength + filesLength + markerEndLength &&
                        memcmp(build, id, cacheIdLength) == 0 &&
                        memcmp(build + cacheIdLength, markerFiles, filesLength) == 0 &&
                        memcmp(text + read - markerEndLength, markerEnd, markerEndLength) == 0;
        return complete ? Claim::complete : Claim::ours;
    }
    // Older builds named no product: only a copy of this very build, whose
    // id is made of the product's names, is known to be the product's.
    constexpr size_t olderLength = sizeof olderMarkerStart - 1;
    if (read > olderLength + cacheIdLength && strcmp(id, owner.id) == 0 &&
        memcmp(text, olderMarkerStart, olderLength) == 0 &&
        memcmp(text + olderLength, id, cacheIdLength) == 0 &&
        text[olderLength + cacheIdLength] == ' ') {
        return Claim::ours;
    }
    return Claim::none;
}

struct TreeCount {
    unsigned long long files;
    unsigned long long bytes;
    // The sum of a hash of each file's path below the top and its size: the
    // same whatever order the file system lists the files in, and another
    // when a file is renamed, moved or replaced by one of another size.
    uint64_t digest;
    size_t topLength; // of the top directory's part of the walk's paths
};

// Adds the file at `entry` of a count's walk to `count`.
void countFile(const WalkEntry& entry, TreeCount* count) {
    uint64_t hash =
        hashUnits(hashBasis, entry.path + count->topLength, entry.length - count->topLength);
    uint64_t size =
        static_cast<uint64_t>(entry.found->nFileSizeHigh) << 32 | entry.found->nFileSizeLow;
    for (int i = 0; i < 8; ++i) {
        hash = (hash ^ (size >> 8 * i & 0xff)) * 0x100000001b3ull;
    }
    count->files += 1;
    count->bytes += size;
    count->digest += finishHash(hash);
}

bool countTree(wchar_t* path, size_t length, TreeCount* count);

// A count's walk stops at a link, which no record makes.
bool countEntry(const WalkEntry& entry, void* context) {
    TreeCount* count = static_cast<TreeCount*>(context);
    DWORD attributes = entry.found->dwFileAttributes;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        return countTree(entry.path, entry.length, count);
    }
    if (entry.folderLength != count->topLength || wcscmp(entry.found->cFileName, markerName) != 0) {
        countFile(entry, count);
    }
    return true;
}

// Counts the files below `path` (an extended-length path of `length` in a
// buffer of extendedPathCapacity), leaving out the marker at the top. False
// when the tree holds a link or cannot be walked whole.
bool countTree(wchar_t* path, size_t length, TreeCount* count) {
    // Every later start walks the whole tree: no short names, larger batches.
    return walkDirectory(path, length, Listing::basicBatch, countEntry, count) == WalkEnd::whole;
}

// Counts the files below `directory`, on a drive or a share; false when the
// tree cannot be walked whole.
bool countDirectory(const wchar_t* directory, TreeCount* count) {
    wchar_t path[extendedPathCapacity];
    size_t length = extendedForm(directory, path);
    *count = {0, 0, 0, length};
    return length != 0 && countTree(path, length, count);
}

// Whether the directory holds this build's files, as many and as large as
// the build has, with the names and sizes that the marker's digest was made
// of: a file removed, cut, added or renamed shows.
bool holdsCompleteFiles(const wchar_t* directory, uint64_t digest) {
    TreeCount count;
    return countDirectory(directory, &count) && count.files == onefileCacheRecordCount &&
           count.bytes == onefileCacheContentSize && count.digest == digest;
}

// What a file system entry is, whatever its name: a directory looked at and
// found wanting is set aside only while it is still the one at the name. The
// creation time tells apart an entry that got the number of one removed
// meanwhile (Unix file systems, which Wine shows, reuse them at once).
struct EntryIdentity {
    bool known;
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
    FILETIME created;
};

EntryIdentity identityOf(const BY_HANDLE_FILE_INFORMATION& information) {
    return {true, information.dwVolumeSerialNumber, information.nFileIndexHigh,
            information.nFileIndexLow, information.ftCreationTime};
}

bool sameEntry(const EntryIdentity& a, const EntryIdentity& b) {
    return a.known && b.known && a.volume == b.volume && a.indexHigh == b.indexHigh &&
           a.indexLow == b.indexLow && CompareFileTime(&a.created, &b.created) == 0;
}

// Notes what the system calls the cache's folder, once it exists.
void noteCacheFolderName() {
    if (cacheFolderName[0] == 0) {
        noteDirectoryName(cacheFolderPath, cacheFolderName, pathCapacity);
    }
}

// Whether the system calls what `handle` names `folderName` \ `name`: the
// entry itself, not what a link at its name leads to (Windows opens a link
// as itself, Wine a Unix link as what it points to). False when the
// folder's name is not known.
bool isFolderEntry(HANDLE handle, const wchar_t* folderName, const wchar_t* name) {
    if (folderName[0] == 0) {
        return false;
    }
    wchar_t systemName[pathCapacity];
    joinPath(systemName, folderName, name);
    return hasSystemName(handle, systemName);
}

// The cache directory's own name in its folder: the build's id.
const wchar_t* cacheName() {
    return wcsrchr(cacheDirectoryPath, L'\\') + 1;
}

// Holds the cache directory when it is complete: a plain directory of the
// user's (not a link, and not made by someone else) at the very name the
// run expects, with the marker and the files it counts. The hold shares no
// deletion, so no other run can set it aside or remove it while this one's
// child runs from it; it is taken before the checks, so that what they find
// stays so. `*error` is the system's reason when nothing could be opened;
// `*examined` tells what was opened and found wanting.
bool holdCompleteCache(DWORD* error, EntryIdentity* examined) {
    *examined = {};
    HANDLE held = SYSTEM_CALL(CreateFileW)(
        cacheDirectoryPath, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information;
    uint64_t digest = 0;
    bool complete = GetFileInformationByHandle(held, &information);
    if (complete) {
        *examined = identityOf(information);
    }
    complete = complete && (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
               !(information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
               isFolderEntry(held, cacheFolderName, cacheName()) && isOwnedByProcessUser(held) &&
               readExpectedMarker(cacheDirectoryPath, &digest) &&
               holdsCompleteFiles(cacheDirectoryPath, digest);
    if (!complete) {
        CloseHandle(held);
        return false;
    }
    targetDirectoryHandle = held;
    return true;
}

// Expands the build's spec followed by `suffix`, with fresh run values, into
// targetDirectoryPath; returns the spec, for a report.
const wchar_t* expandSibling(const wchar_t* suffix) {
    copyBounded(siblingSpec, pathCapacity, cacheSpec);
    appendBounded(siblingSpec, pathCapacity, suffix);
    discardRunValues();
    if (!expandTargetDirectory(siblingSpec)) {
        fatalSpecExpansionError(siblingSpec);
    }
    return siblingSpec;
}

// What an entry of the folder that holds the caches is to the sweep.
enum class FolderEntry {
    unrelated, // not a name a run makes
    cache,     // a build's cache directory: its id alone
    partial,   // a copy being unpacked: the id, ".partial-" and its run's values
    aside,     // a copy set aside for removal: the id, ".aside-" and a run's values
};

// Whether `name` begins with `kind`; `*rest` then points past it.
bool beginsWith(const wchar_t* name, const wchar_t* kind, const wchar_t** rest) {
    size_t length = wcslen(kind);
    if (wcsncmp(name, kind, length) != 0) {
        return false;
    }
    *rest = name + length;
    return true;
}

// What `name` is.
FolderEntry classifyFolderEntry(const wchar_t* name) {
    for (size_t i = 0; i < cacheIdLength; ++i) {
        if (!((name[i] >= L'0' && name[i] <= L'9') || (name[i] >= L'a' && name[i] <= L'f'))) {
            return FolderEntry::unrelated;
        }
    }
    const wchar_t* rest = name + cacheIdLength;
    if (*rest == 0) {
        return FolderEntry::cache;
    }
    if (beginsWith(rest, ONEFILE_ASIDE_KIND, &rest)) {
        return FolderEntry::aside;
    }
    if (beginsWith(rest, ONEFILE_PARTIAL_KIND, &rest)) {
        return FolderEntry::partial;
    }
    return FolderEntry::unrelated;
}

// A fresh name to set the copy `name` aside to: its name, ".aside-" and
// values of the run's form (process, microseconds, random text), so that no
// two removals meet. Made without the environment, which belongs to the
// application once it runs in this process: the removal runs beside it.
void nameAside(const wchar_t* name, wchar_t* aside) {
    static volatile LONG asideCount;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    uint64_t time = static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uint32_t seed = static_cast<uint32_t>(counter.QuadPart ^ (counter.QuadPart >> 32)) ^
                    static_cast<uint32_t>(InterlockedIncrement(&asideCount)) * 0x9E3779B9u ^
                    GetCurrentProcessId();
    wchar_t random[randomStringLength + 1];
    makeRandomString(seed == 0 ? 1 : seed, random);
    wchar_t values[64];
    _snwprintf(values, 64, L"%lu_%06lu_%ls", GetCurrentProcessId(),
               static_cast<unsigned long>(time / 10 % 1000000), random);
    values[63] = 0;
    copyBounded(aside, pathCapacity, name);
    appendBounded(aside, pathCapacity, ONEFILE_ASIDE_KIND);
    appendBounded(aside, pathCapacity, values);
}

// Renames what `handle` names (opened with delete access) to `name` in
// `folder`, in one step: the very directory that was looked at, whatever
// has been put at its old name since.
bool renameThroughHandle(HANDLE handle, const wchar_t* folder, const wchar_t* name) {
    wchar_t path[pathCapacity];
    joinPath(path, folder, name);
    wchar_t target[extendedPathCapacity];
    size_t length = extendedForm(path, target);
    if (length == 0) {
        return false;
    }
    // The system's own form of the path, which the call takes as it is:
    // "\??\" where the extended-length form has "\\?\".
    target[1] = L'?';
    union {
        FILE_RENAME_INFO info;
        unsigned char bytes[sizeof(FILE_RENAME_INFO) + sizeof target];
    } request = {};
    request.info.ReplaceIfExists = FALSE;
    request.info.RootDirectory = nullptr;
    request.info.FileNameLength = static_cast<DWORD>(length * sizeof(wchar_t));
    memcpy(request.bytes + offsetof(FILE_RENAME_INFO, FileName), target,
           (length + 1) * sizeof(wchar_t));
    return SYSTEM_CALL(SetFileInformationByHandle)(handle, FileRenameInfo, &request,
                                                   sizeof request) != 0;
}

// What a copy must be to be moved or removed.
enum class Wanted {
    // At the cache's own name, looked at and found wanting: a plain
    // directory that this product's runs made, whoever owns it now (it is
    // not run from).
    madeByUs,
    // A partial copy or one set aside: the same, of the user's own.
    usersMadeByUs,
    // Another build's directory: the same, complete, of the build its name gives.
    usersComplete,
};

// Whether the entry `name` that `handle` names (opened as itself, with
// READ_CONTROL), at `path`, is a copy of the kind `wanted` for `owner`.
// False, with the reason in `*error`, when it is not: notThisProductsCopy,
// or a sharing violation when its marker could not be read now.
bool isWantedCopy(HANDLE handle, const wchar_t* path, const wchar_t* name, const CopyOwner& owner,
                  Wanted wanted, DWORD* error) {
    *error = notThisProductsCopy;
    // No run makes a file or a link at a copy's name, and a marker read
    // through a link would be another's.
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information) ||
        !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        (wanted != Wanted::madeByUs && !isOwnedByProcessUser(handle))) {
        return false;
    }
    char id[cacheIdLength + 1];
    asciiId(name, id);
    DWORD readError = ERROR_SUCCESS;
    Claim claim = claimOf(path, id, owner, &readError);
    if (wanted == Wanted::usersComplete ? claim == Claim::complete : claim != Claim::none) {
        return true;
    }
    // A marker that someone has open without sharing (a scanner, on Windows)
    // may tell more in a moment.
    if (claim == Claim::none && readError == ERROR_SHARING_VIOLATION) {
        *error = readError;
    }
    return false;
}

// The walk that removes a copy: its folder's path and system name.
struct CopyRemoval {
    const wchar_t* path;
    const wchar_t* systemName;
    bool othersLeft; // entries besides the marker
};

bool removeAllButTheMarker(const WalkEntry& entry, void* context) {
    const wchar_t* name = entry.found->cFileName;
    CopyRemoval& removal = *static_cast<CopyRemoval*>(context);
    if (wcscmp(name, markerName) != 0) {
        wchar_t path[pathCapacity];
        joinPath(path, removal.path, name);
        wchar_t systemName[pathCapacity];
        joinPath(systemName, removal.systemName, name);
        removeDirectoryTree(path, systemName);
    }
    return true;
}

// Deletes what `handle` names once it is closed; false when the system refuses.
bool deleteOnClose(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// Removes the directory at `path` (whose system name is `systemName`) that
// holds nothing but its marker, both together: the directory is opened for
// deletion before the marker goes, so that nobody can keep it afterwards (a
// look at it that does not let it go, as a run's check of another
// run's copy, makes the open fail instead, and the marker stays).
void removeMarkedDirectory(const wchar_t* path, const wchar_t* systemName) {
    constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE directory =
        CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES, shareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (directory == INVALID_HANDLE_VALUE) {
        return;
    }
    wchar_t marker[pathCapacity];
    joinPath(marker, path, markerName);
    wchar_t markerSystemName[pathCapacity];
    joinPath(markerSystemName, systemName, markerName);
    HANDLE file = CreateFileW(marker, DELETE | FILE_READ_ATTRIBUTES, shareAll, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    bool markerGoes = file != INVALID_HANDLE_VALUE && hasSystemName(directory, systemName) &&
                      hasSystemName(file, markerSystemName) && deleteOnClose(file);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    if (markerGoes) {
        deleteOnClose(directory);
    }
    CloseHandle(directory);
}

bool noteOthers(const WalkEntry& entry, void* context) {
    if (wcscmp(entry.found->cFileName, markerName) != 0) {
        static_cast<CopyRemoval*>(context)->othersLeft = true;
        return false;
    }
    return true;
}

// Removes the copy `name` that this product's runs made, in `folder` (whose
// system name is `folderName`): everything in it first, and its marker only
// together with the copy itself, so that a removal cut short (the process
// ends, a file is in use, another run looks at the copy) leaves the proof
// that lets a later run finish it. Only the entries themselves go, never
// what a link leads to (under Wine, where such a link opens as its target,
// the name tells), and nothing when the folder's name is not known.
void removeCopy(const wchar_t* folder, const wchar_t* folderName, const wchar_t* name) {
    wchar_t path[pathCapacity];
    joinPath(path, folder, name);
    wchar_t systemName[pathCapacity];
    joinPath(systemName, folderName, name);
    wchar_t listed[extendedPathCapacity];
    size_t length = extendedForm(path, listed);
    if (folderName[0] == 0 || length == 0) {
        return;
    }
    CopyRemoval removal = {path, systemName, false};
    walkDirectory(listed, length, Listing::basic, removeAllButTheMarker, &removal);
    if (walkDirectory(listed, length, Listing::basic, noteOthers, &removal) == WalkEnd::whole &&
        !removal.othersLeft) {
        removeMarkedDirectory(path, systemName);
    }
}

// Moves the entry `name` in `folder` (whose system name is `folderName`)
// aside in one step, then removes it there, when it is a copy of the kind
// `wanted` for `owner`: nothing else, whatever its name, is ever moved. The
// move goes through a handle on the entry itself, with delete access: it
// fails while anyone holds the entry without delete sharing (a running
// instance's hold, or a run's on the copy it unpacks into), and on Windows
// while any file in it is open; the hold also keeps the entry that the
// checks look at in place. Under Wine a Unix link opens as what it leads
// to, which a move through it would carry off: what does not go by the
// entry's own name is never moved, nor anything when the folder's name is
// not known. `identity` non-null: only that very entry. False, with the
// system's reason in `*error`, when nothing was moved (notThisProductsCopy
// for a copy that is not the kind wanted).
bool moveAsideAndRemove(const wchar_t* folder, const wchar_t* folderName, const wchar_t* name,
                        const CopyOwner& owner, Wanted wanted, const EntryIdentity* identity,
                        DWORD* error) {
    wchar_t path[pathCapacity];
    joinPath(path, folder, name);
    HANDLE entry = SYSTEM_CALL(CreateFileW)(
        path, DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (entry == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    bool movable = isFolderEntry(entry, folderName, name);
    *error = ERROR_CANT_ACCESS_FILE;
    if (movable && identity != nullptr) {
        BY_HANDLE_FILE_INFORMATION information;
        movable = GetFileInformationByHandle(entry, &information) &&
                  sameEntry(identityOf(information), *identity);
        // Another entry than the one looked at: it is looked at afresh.
        *error = anotherEntryAtTheName;
    }
    wchar_t aside[pathCapacity];
    if (movable && isWantedCopy(entry, path, name, owner, wanted, error)) {
        nameAside(name, aside);
        movable = renameThroughHandle(entry, folder, aside);
        *error = movable ? ERROR_SUCCESS : GetLastError();
    } else {
        movable = false;
    }
    SYSTEM_CALL(CloseHandle)(entry);
    if (movable) {
        removeCopy(folder, folderName, aside);
    }
    return movable;
}

// Removes the copy set aside at `name` in `folder` (whose system name is
// `folderName`) when it is one that this product's runs made.
void removeCopySetAside(const wchar_t* folder, const wchar_t* folderName, const wchar_t* name,
                        const CopyOwner& owner) {
    wchar_t path[pathCapacity];
    joinPath(path, folder, name);
    // Another run may be removing it as well: the look lets that go on.
    HANDLE entry = SYSTEM_CALL(CreateFileW)(
        path, READ_CONTROL | FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (entry == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD unused = 0;
    bool ours = isFolderEntry(entry, folderName, name) &&
                isWantedCopy(entry, path, name, owner, Wanted::usersMadeByUs, &unused);
    SYSTEM_CALL(CloseHandle)(entry);
    if (ours) {
        removeCopy(folder, folderName, name);
    }
}

// Sets the entry at the cache's name, `examined` and found not to be a
// complete copy, aside and removes it, when this product's runs made it.
// False, with the system's reason in `*error`, when it cannot be moved now
// (its files are in use by a run, or it is opened for removal by a run of
// another build, or another entry has taken its place) or not at all
// (notThisProductsCopy); true also when it is gone already.
bool setAside(const EntryIdentity& examined, DWORD* error) {
    return moveAsideAndRemove(cacheFolderPath, cacheFolderName, cacheName(), runOwner,
                              Wanted::madeByUs, &examined, error) ||
           *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND;
}

// Writes `length` bytes of `text` into the marker of the partial copy,
// opened as `disposition` says. Any failure ends the run, and the copy goes
// with the marker's handle closed first (on Windows an open file keeps its
// folder).
void writeMarkerText(DWORD disposition, const char* text, size_t length) {
    wchar_t path[pathCapacity];
    joinPath(path, targetDirectoryPath, markerName);
    HANDLE marker =
        SYSTEM_CALL(CreateFileW)(path, GENERIC_WRITE, 0, nullptr, disposition, 0, nullptr);
    if (marker == INVALID_HANDLE_VALUE) {
        fatalOpenFailure(path);
    }
    extractionFile = marker;
    DWORD written = 0;
    if (!SYSTEM_CALL(WriteFile)(marker, text, static_cast<DWORD>(length), &written, nullptr)) {
        fatalErrorWithCode(messageWriteFailed, GetLastError());
    }
    extractionFile = nullptr;
    SYSTEM_CALL(CloseHandle)(marker);
}

// Writes the marker's first line into the partial copy before anything else
// is in it: whatever becomes of the copy, it shows whose it is.
void startMarker() {
    char text[markerCapacity];
    size_t length = formatMarker(text, sizeof text, onefileCacheId, onefileCompanyName,
                                 onefileProductName, nullptr);
    writeMarkerText(CREATE_NEW, text, length);
}

// Completes the marker in the partial copy, its digest made from what the
// copy holds. The complete text begins with the first line's, which it
// writes over: at no moment does the marker stop naming the product.
void completeMarker() {
    TreeCount count;
    countDirectory(targetDirectoryPath, &count);
    char text[sizeof expectedMarker];
    memcpy(text, expectedMarker, expectedMarkerLength);
    formatHex(count.digest, text + expectedMarkerLength);
    memcpy(text + expectedMarkerLength + digestDigits, markerEnd, markerEndLength);
    writeMarkerText(OPEN_EXISTING, text, expectedMarkerLength + digestDigits + markerEndLength);
}

// Unpacks every record into a fresh private partial sibling, named by fresh
// run values, which stay published, after the marker's first line.
void unpackPartial() {
    const wchar_t* spec = expandSibling(partialSuffix);
    // From the start of the archive, also when an earlier copy was lost.
    initArchiveReader(onefileAttachedData, onefileAttachedDataLength);
    openArchiveReader();
    createTargetDirectory(spec);
    startMarker();
    startExtraction();
    startProgressWindow();
    extractFileRecords();
    closeArchiveReader();
}

// Unpacks every record into a private partial sibling, between the marker's
// first line and its completion.
void unpackIntoPartial() {
    unpackPartial();
    completeMarker();
    // A program the application starts finds the cache without them, as in
    // any later run.
    discardRunValues();
}

// Moves the partial sibling into place in one step; a run that got there
// first keeps its copy, and this one's goes. It goes as any copy of the
// product's does, its marker last: a scanner reading a file just written,
// or another run's sweep looking at the copy, can keep part of it for now,
// and what is left must still show a later sweep that it is the product's.
void moveIntoPlace() {
    HANDLE held = InterlockedExchangePointer(&targetDirectoryHandle, nullptr);
    if (held != nullptr) {
        CloseHandle(held);
    }
    if (!SYSTEM_CALL(MoveFileExW)(targetDirectoryPath, cacheDirectoryPath, 0)) {
        const wchar_t* separator = wcsrchr(targetDirectoryPath, L'\\');
        if (separator != nullptr) {
            removeCopy(cacheFolderPath, cacheFolderName, separator + 1);
        }
    }
    // Nothing of this run's is left to remove: the copy is the cache now, or gone.
    extractionStarted = false;
}

// What a run finds at the cache's name.
enum class CacheName {
    held,     // a complete copy, held now
    free,     // nothing: a copy is to be unpacked
    setAside, // an incomplete copy, set aside and removed
    unusable, // no complete copy, and what is there cannot go: other processes keep
              // it, or no run of this product made it
};

// Whether `error`, from the look at the cache's name or the move aside, says
// that other processes use what is there: a running instance holds the
// cache without delete sharing, and on Windows any open file in it keeps it
// from being moved.
bool isInUse(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_ACCESS_DENIED;
}

// Holds a complete copy at the cache's name, or clears the name of an
// incomplete one that this product's runs made. Only what the hold looked at
// is set aside: a copy that another run moves into place in the meantime is
// looked at afresh. A copy in use (its files open while another run sets it
// aside, or opened for removal by a run of another build) is waited for,
// cacheAttempts times; then the run takes the name as unusable, as it does
// at once when what is there carries no proof of this product's runs, or
// fails when something else keeps it.
CacheName holdOrClearCache() {
    DWORD error = ERROR_ALREADY_EXISTS;
    for (int attempt = 0; attempt < cacheAttempts; ++attempt) {
        noteCacheFolderName();
        DWORD holdError = 0;
        EntryIdentity examined;
        if (holdCompleteCache(&holdError, &examined)) {
            return CacheName::held; // nothing is read and nothing is written
        }
        if (SYSTEM_CALL(GetFileAttributesW)(cacheDirectoryPath) == INVALID_FILE_ATTRIBUTES) {
            return CacheName::free;
        }
        if (!examined.known) {
            // Nothing was looked at: gone when the hold came, there now, or
            // opened by someone without sharing. What it is decides.
            error = holdError;
            if (holdError == ERROR_FILE_NOT_FOUND || holdError == ERROR_PATH_NOT_FOUND) {
                continue;
            }
        } else if (setAside(examined, &error)) {
            return error == ERROR_SUCCESS ? CacheName::setAside : CacheName::free;
        } else if (error == anotherEntryAtTheName) {
            continue;
        } else if (error == notThisProductsCopy) {
            // Not this product's to replace: it stays as it is.
            return CacheName::unusable;
        }
        SYSTEM_CALL(Sleep)(cacheRetryPauseMilliseconds);
    }
    if (isInUse(error)) {
        return CacheName::unusable;
    }
    fatalErrorWithCode(messageCacheInUse, error);
}

// For a cache that cannot be used now: a copy of the run's own, unpacked
// beside it as a first run unpacks, guarded, under its partial name, which
// the published run values give a child (see targetDirectorySpec). Its
// marker keeps to its first line: the copy is never taken for a complete
// one, and when a kill leaves it behind a later run's sweep removes it as
// the product's. The application runs in that child, and the copy
// goes when the child ends, as a per-run build's directory does: on
// Windows a library loaded in this process could not be deleted. A later
// run, once nothing uses the cache, replaces the cache.
CacheRun unpackPrivateCopy() {
    guardTargetDirectory();
    unpackPartial();
    return CacheRun::privateCopy;
}

// Whether the parent runs the application from a private copy: a child
// inherits the run values that name it, which every other cached parent
// discards.
bool parentRunsPrivateCopy() {
    for (const char* variable : handshakeRunValueVariables) {
        wchar_t* value = getEnvironmentValue(variable);
        if (value != nullptr) {
            free(value);
            return true;
        }
    }
    return false;
}

// What a sweep of the folder that holds the caches works with.
struct Sweep {
    const wchar_t* folder;
    wchar_t folderName[pathCapacity];
    const wchar_t* ownId;
    CopyOwner owner;
    bool otherBuilds;
};

bool sweepEntry(const WalkEntry& entry, void* context) {
    const Sweep& sweep = *static_cast<const Sweep*>(context);
    // Links are never entered, moved or removed, and files are none of a run's.
    DWORD attributes = entry.found->dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return true;
    }
    const wchar_t* name = entry.found->cFileName;
    FolderEntry kind = classifyFolderEntry(name);
    bool own = wcsncmp(name, sweep.ownId, cacheIdLength) == 0;
    DWORD unused = 0;
    // Only what this product's runs made goes: its marker proves it.
    if (kind == FolderEntry::cache && !own && sweep.otherBuilds) {
        // Whatever keeps it (a running instance, a link) leaves it to a later run.
        moveAsideAndRemove(sweep.folder, sweep.folderName, name, sweep.owner, Wanted::usersComplete,
                           nullptr, &unused);
    } else if (kind == FolderEntry::partial) {
        // A run that unpacks into it holds it, on this machine or on another
        // that shares the folder: then it cannot be moved.
        moveAsideAndRemove(sweep.folder, sweep.folderName, name, sweep.owner, Wanted::usersMadeByUs,
                           nullptr, &unused);
    } else if (kind == FolderEntry::aside) {
        removeCopySetAside(sweep.folder, sweep.folderName, name, sweep.owner);
    }
    return true;
}

} // namespace

bool cachedMode() {
    return onefileCacheId[0] != 0;
}

const wchar_t* targetDirectorySpec() {
    if (!cachedMode()) {
        return onefileTargetDirectorySpec;
    }
    if (cacheSpec[0] == 0) {
        copyBounded(cacheSpec, pathCapacity, onefileTargetDirectorySpec);
        appendBounded(cacheSpec, pathCapacity, L"\\");
        appendBounded(cacheSpec, pathCapacity, onefileCacheId);
    }
    if (parentInstance != nullptr && parentRunsPrivateCopy()) {
        copyBounded(siblingSpec, pathCapacity, cacheSpec);
        appendBounded(siblingSpec, pathCapacity, partialSuffix);
        return siblingSpec;
    }
    return cacheSpec;
}

CacheRun prepareCache() {
    copyBounded(cacheDirectoryPath, pathCapacity, targetDirectoryPath);
    copyBounded(cacheFolderPath, pathCapacity, cacheDirectoryPath);
    cacheFolderName[0] = 0;
    wchar_t* separator = wcsrchr(cacheFolderPath, L'\\');
    if (separator != nullptr) {
        *separator = 0;
    } else {
        cacheFolderPath[0] = 0;
    }
    formatExpectedMarker();
    CacheName found = holdOrClearCache();
    for (int round = 0; found != CacheName::held; ++round) {
        if (found == CacheName::unusable) {
            return unpackPrivateCopy();
        }
        // A copy this run has just moved into place is complete: when it is
        // not, something damages it, and another copy would fare no better.
        if (round > 0 && found == CacheName::setAside) {
            fatalErrorWithCode(messageCacheInUse, ERROR_FILE_CORRUPT);
        }
        if (round == cacheUnpackRounds) {
            fatalErrorWithCode(messageCacheInUse, ERROR_FILE_NOT_FOUND);
        }
        // Only now is there something of the run's to remove on an interrupt.
        guardTargetDirectory();
        // The containing folders are ordinary ones (the user's own
        // application data); the copies are made private like a run's own
        // directory.
        unpackIntoPartial();
        moveIntoPlace();
        found = holdOrClearCache();
    }
    // The run goes on from the cache directory, not from the copy it
    // unpacked into. A console event's removal, which could be reading the
    // path, stops the main thread first.
    holdIfRemovalRequested();
    copyBounded(targetDirectoryPath, pathCapacity, cacheDirectoryPath);
    return CacheRun::cache;
}

void removeOtherVersions() {
    if (!cachedMode() || cacheFolderPath[0] == 0) {
        return;
    }
    // The application comes first: on Windows a thread in background mode
    // has the processor and the disk only when nothing else wants them.
    bool background = SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN) != 0;
    sweepCacheFolder(cacheFolderPath, onefileCacheId, onefileCompanyName, onefileProductName,
                     (onefileBuildOptions & buildOptionKeepOtherVersions) == 0);
    if (background) {
        SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_END);
    }
}

void sweepCacheFolder(const wchar_t* folder, const wchar_t* ownId, const wchar_t* company,
                      const wchar_t* product, bool otherBuilds) {
    // What the system calls the folder: an entry whose handle goes by
    // another name than the folder's and its own was reached through a link.
    // Without it nothing could be told apart from what a link leads to.
    Sweep sweep = {folder, {}, ownId, {}, otherBuilds};
    formatOwner(&sweep.owner, ownId, company, product);
    noteDirectoryName(folder, sweep.folderName, pathCapacity);
    if (sweep.folderName[0] == 0) {
        return;
    }
    wchar_t listed[extendedPathCapacity];
    size_t length = extendedForm(folder, listed);
    if (length != 0) {
        walkDirectory(listed, length, Listing::basic, sweepEntry, &sweep);
    }
}

size_t formatMarker(char* text, size_t capacity, const wchar_t* id, const wchar_t* company,
                    const wchar_t* product, const MarkerCounts* counts) {
    char key[keyDigits + 1];
    formatHex(productKey(company, product), key);
    char build[cacheIdLength + 1];
    asciiId(id, build);
    int length = 0;
    if (counts == nullptr) {
        length =
            snprintf(text, capacity, "%s%s%s%s%s", markerStart, key, markerBuild, build, markerEnd);
    } else {
        char digest[digestDigits + 1];
        formatHex(counts->digest, digest);
        length = snprintf(text, capacity, "%s%s%s%s%s%llu bytes %llu digest %s%s", markerStart, key,
                          markerBuild, build, markerFiles, counts->files, counts->bytes, digest,
                          markerEnd);
    }
    return length > 0 && static_cast<size_t>(length) < capacity ? static_cast<size_t>(length) : 0;
}

void nameCachedEntryLibrary() {
    if (!isSafeRecordPath(onefileCacheEntryName)) {
        fatalError(messageUndecodable);
    }
    joinPath(entryLibraryPath, targetDirectoryPath, onefileCacheEntryName);
}
