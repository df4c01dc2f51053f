#include "extract/cache.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "archive/reader.h"
#include "archive/record_name.h"
#include "bootstrap/bootstrap.h"
#include "bootstrap/bounded.h"
#include "bootstrap/seams.h"
#include "bootstrap/security.h"
#include "cleanup/cleanup.h"
#include "cleanup/tree.h"
#include "errors/errors.h"
#include "extract/extract.h"
#include "extract/target_directory.h"
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
// The marker's text: this, the build's id, a space, then its counts.
constexpr char markerPrefix[] = "onefile cache ";
// A sibling this run unpacks into, and one an incomplete copy is set aside
// to: the cache's name, a kind, and the run's values.
#define ONEFILE_PARTIAL_KIND L".partial-"
#define ONEFILE_ASIDE_KIND L".aside-"
#define ONEFILE_RUN_VALUES L"{PID}_{TIME_US}_{RANDOM}"
const wchar_t partialSuffix[] = ONEFILE_PARTIAL_KIND ONEFILE_RUN_VALUES;

// The cache directory, which targetDirectoryPath leaves while a first run
// unpacks into its partial sibling.
wchar_t cacheDirectoryPath[pathCapacity];
// The folder that holds it, its siblings and the other builds' directories.
wchar_t cacheFolderPath[pathCapacity];
// The marker's text for this build.
char expectedMarker[256];
size_t expectedMarkerLength;
// The cache directory's spec: the build's spec, which names the folder that
// holds each build's cache, a backslash and the build's id.
wchar_t cacheSpec[pathCapacity];
// Specs for the siblings: the cache's spec and a suffix.
wchar_t siblingSpec[pathCapacity];

void formatExpectedMarker() {
    char id[64];
    size_t i = 0;
    for (; onefileCacheId[i] != 0 && i + 1 < sizeof id; ++i) {
        id[i] = static_cast<char>(onefileCacheId[i]);
    }
    id[i] = 0;
    int length = snprintf(expectedMarker, sizeof expectedMarker, "%s%s %llu %llu\r\n", markerPrefix,
                          id, static_cast<unsigned long long>(onefileCacheRecordCount),
                          static_cast<unsigned long long>(onefileCacheContentSize));
    if (length <= 0 || static_cast<size_t>(length) >= sizeof expectedMarker) {
        terminateImmediately();
    }
    expectedMarkerLength = static_cast<size_t>(length);
}

// `directory` \ `name` into `path` (capacity pathCapacity).
void joinPath(wchar_t* path, const wchar_t* directory, const wchar_t* name) {
    copyBounded(path, pathCapacity, directory);
    appendBounded(path, pathCapacity, L"\\");
    appendBounded(path, pathCapacity, name);
}

// Removes the directory `name` in `folder`, whose system name is
// `folderName`: only the entry itself, never what a link at its name leads
// to (under Wine, where such a link opens as its target, the name tells).
void removeFolderEntry(const wchar_t* folder, const wchar_t* folderName, const wchar_t* name) {
    wchar_t path[pathCapacity];
    joinPath(path, folder, name);
    wchar_t systemName[pathCapacity] = L"";
    if (folderName[0] != 0) {
        joinPath(systemName, folderName, name);
    }
    removeDirectoryTree(path, systemName);
}

// Reads the start of the marker in `directory` into `text`; the bytes read,
// or 0 when there is no marker to read.
DWORD readMarker(const wchar_t* directory, char* text, DWORD capacity) {
    wchar_t path[pathCapacity];
    joinPath(path, directory, markerName);
    HANDLE marker = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (marker == INVALID_HANDLE_VALUE) {
        return 0;
    }
    DWORD read = 0;
    if (!ReadFile(marker, text, capacity, &read, nullptr)) {
        read = 0;
    }
    CloseHandle(marker);
    return read;
}

// Whether `directory` holds exactly this build's marker.
bool holdsExpectedMarker(const wchar_t* directory) {
    char text[sizeof expectedMarker + 1];
    DWORD read = readMarker(directory, text, sizeof text);
    return read == expectedMarkerLength && memcmp(text, expectedMarker, read) == 0;
}

// Whether `directory` holds the marker of the build `id`: a run of that
// build made it complete.
bool holdsMarkerOf(const wchar_t* directory, const wchar_t* id) {
    constexpr size_t prefixLength = sizeof markerPrefix - 1;
    char text[prefixLength + cacheIdLength + 1];
    if (readMarker(directory, text, sizeof text) != sizeof text ||
        memcmp(text, markerPrefix, prefixLength) != 0 || text[sizeof text - 1] != ' ') {
        return false;
    }
    for (size_t i = 0; i < cacheIdLength; ++i) {
        if (id[i] != static_cast<unsigned char>(text[prefixLength + i])) {
            return false;
        }
    }
    return true;
}

struct TreeCount {
    unsigned long long files;
    unsigned long long bytes;
};

// Counts the files below `path` (an extended-length path of `length` in a
// buffer of pathCapacity + 8), leaving out the marker at the top. False when
// the tree holds a link, which no record makes.
bool countTree(wchar_t* path, size_t length, bool top, TreeCount* count) {
    if (length + 3 > pathCapacity + 8) {
        return false;
    }
    wmemcpy(path + length, L"\\*", 3);
    WIN32_FIND_DATAW found;
    // Every later start walks the whole tree: no short names, larger batches.
    HANDLE find = FindFirstFileExW(path, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                   FIND_FIRST_EX_LARGE_FETCH);
    path[length] = 0;
    if (find == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool sound = true;
    do {
        const wchar_t* name = found.cFileName;
        if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) {
            continue;
        }
        if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            sound = false;
        } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            size_t nameLength = wcslen(name);
            if (length + 1 + nameLength + 1 > pathCapacity + 8) {
                sound = false;
                break;
            }
            path[length] = L'\\';
            wmemcpy(path + length + 1, name, nameLength + 1);
            sound = countTree(path, length + 1 + nameLength, false, count);
            path[length] = 0;
        } else if (!top || wcscmp(name, markerName) != 0) {
            count->files += 1;
            count->bytes +=
                static_cast<unsigned long long>(found.nFileSizeHigh) << 32 | found.nFileSizeLow;
        }
    } while (sound && FindNextFileW(find, &found));
    FindClose(find);
    return sound;
}

// Whether the directory holds this build's files, as many and as large as
// the marker says; a file removed, cut or added shows.
bool holdsCompleteFiles(const wchar_t* directory) {
    wchar_t path[pathCapacity + 8];
    wmemcpy(path, L"\\\\?\\", 4);
    size_t length = wcsnlen(directory, pathCapacity);
    if (length >= pathCapacity || wcsncmp(directory, L"\\\\", 2) == 0) {
        return false;
    }
    wmemcpy(path + 4, directory, length + 1);
    TreeCount count = {0, 0};
    return countTree(path, length + 4, true, &count) && count.files == onefileCacheRecordCount &&
           count.bytes == onefileCacheContentSize;
}

// Holds the cache directory when it is complete: a plain directory of the
// user's (not a link, and not made by someone else), with the marker and
// the files it counts. The hold shares no deletion, so no other run can set
// it aside or remove it while this one's child runs from it; it is taken
// before the checks, so that what they find stays so. `*error` is the
// system's reason when the directory could not be opened.
bool holdCompleteCache(DWORD* error) {
    HANDLE held =
        CreateFileW(cacheDirectoryPath, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information;
    bool complete = GetFileInformationByHandle(held, &information) &&
                    (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                    !(information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                    isOwnedByProcessUser(held) && holdsExpectedMarker(cacheDirectoryPath) &&
                    holdsCompleteFiles(cacheDirectoryPath);
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

// What `name` is; for a partial copy `*owner` is its run's process identifier.
FolderEntry classifyFolderEntry(const wchar_t* name, DWORD* owner) {
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
        // A partial sibling's run values begin with its run's identifier.
        *owner = static_cast<DWORD>(wcstoul(rest, nullptr, 10));
        return FolderEntry::partial;
    }
    return FolderEntry::unrelated;
}

bool processRuns(DWORD identifier) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, identifier);
    if (process == nullptr) {
        // A process this one may not look at (another user's, an elevated
        // one) is there all the same.
        return GetLastError() == ERROR_ACCESS_DENIED;
    }
    bool runs = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return runs;
}

// Whether the run that unpacks into a partial copy is gone. A copy that
// names this very process was left by an earlier one of the same
// identifier: this process unpacks into none while it sweeps.
bool isAbandoned(DWORD owner) {
    return owner != 0 && (owner == GetCurrentProcessId() || !processRuns(owner));
}

// A fresh name to set the copy `name` aside to: its name, ".aside-" and
// fresh run values, so that no two removals meet.
void nameAside(const wchar_t* name, wchar_t* aside) {
    wchar_t values[pathCapacity];
    discardRunValues();
    if (!expandPathSpec(values, ONEFILE_RUN_VALUES, pathCapacity)) {
        fatalSpecExpansionError(ONEFILE_RUN_VALUES);
    }
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
    wchar_t target[pathCapacity + 8];
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

// Whether the directory that `handle` (opened as itself, with READ_CONTROL)
// names, at `path`, is a complete copy of the build `id`: a plain directory
// of the user's own with that build's marker.
bool isCompleteCopyOf(HANDLE handle, const wchar_t* path, const wchar_t* id) {
    BY_HANDLE_FILE_INFORMATION information;
    return GetFileInformationByHandle(handle, &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           isOwnedByProcessUser(handle) && holdsMarkerOf(path, id);
}

// Moves the entry `name` in `folder` (whose system name is `folderName`)
// aside in one step, then removes it there. The move goes through a handle
// on the entry itself, with delete access: it fails while anyone holds the
// entry without delete sharing (a running instance's hold), and on Windows
// while any file in it is open. Under Wine a Unix link opens as what it
// leads to, which a move through it would carry off: what does not go by
// the entry's own name is never moved. `completeOf` non-null: only a
// complete copy of that build is moved. False, with the system's reason in
// `*error`, when nothing was moved.
bool moveAsideAndRemove(const wchar_t* folder, const wchar_t* folderName, const wchar_t* name,
                        const wchar_t* completeOf, DWORD* error) {
    wchar_t path[pathCapacity];
    joinPath(path, folder, name);
    wchar_t systemName[pathCapacity] = L"";
    if (folderName[0] != 0) {
        joinPath(systemName, folderName, name);
    }
    HANDLE entry = SYSTEM_CALL(CreateFileW)(
        path, DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (entry == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    // A folder whose name the system cannot tell is taken as found, except
    // for another build's copy, which is left alone then.
    bool movable = folderName[0] == 0 ? completeOf == nullptr : hasSystemName(entry, systemName);
    *error = ERROR_CANT_ACCESS_FILE;
    wchar_t aside[pathCapacity];
    if (movable && (completeOf == nullptr || isCompleteCopyOf(entry, path, completeOf))) {
        nameAside(name, aside);
        movable = renameThroughHandle(entry, folder, aside);
        *error = movable ? ERROR_SUCCESS : GetLastError();
    } else {
        movable = false;
    }
    SYSTEM_CALL(CloseHandle)(entry);
    if (movable) {
        removeFolderEntry(folder, folderName, aside);
    }
    return movable;
}

// Sets what is at the cache's name, which is not a complete copy, aside and
// removes it. False, with the system's reason in `*error`, when it cannot be
// moved now (its files are in use by a run, or it is opened for removal by
// a run of another build); true also when it is gone already.
bool setAside(DWORD* error) {
    wchar_t folderName[pathCapacity];
    noteDirectoryName(cacheFolderPath, folderName, pathCapacity);
    const wchar_t* name = wcsrchr(cacheDirectoryPath, L'\\') + 1;
    return moveAsideAndRemove(cacheFolderPath, folderName, name, nullptr, error) ||
           *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND;
}

void writeMarker() {
    wchar_t path[pathCapacity];
    joinPath(path, targetDirectoryPath, markerName);
    HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (marker == INVALID_HANDLE_VALUE) {
        fatalOpenFailure(path);
    }
    DWORD written = 0;
    if (!WriteFile(marker, expectedMarker, static_cast<DWORD>(expectedMarkerLength), &written,
                   nullptr)) {
        fatalErrorWithCode(messageWriteFailed, GetLastError());
    }
    CloseHandle(marker);
}

// Unpacks every record into a private partial sibling, marker last.
void unpackIntoPartial() {
    const wchar_t* spec = expandSibling(partialSuffix);
    // From the start of the archive, also when an earlier copy was lost.
    initArchiveReader();
    openArchiveReader();
    createTargetDirectory(spec);
    startExtraction();
    startProgressWindow();
    extractFileRecords();
    closeArchiveReader();
    writeMarker();
    // The child finds its directory without them, as in any later run.
    discardRunValues();
}

// Moves the partial sibling into place in one step; a run that got there
// first keeps its copy, and this one's goes.
void moveIntoPlace() {
    HANDLE held = InterlockedExchangePointer(&targetDirectoryHandle, nullptr);
    if (held != nullptr) {
        CloseHandle(held);
    }
    if (!MoveFileExW(targetDirectoryPath, cacheDirectoryPath, 0)) {
        removeDirectoryTree(targetDirectoryPath, targetDirectoryName);
    }
    // Nothing of this run's is left to remove: the copy is the cache now, or gone.
    extractionStarted = false;
}

// What a run finds at the cache's name.
enum class CacheName {
    held,     // a complete copy, held now
    free,     // nothing: a copy is to be unpacked
    setAside, // an incomplete copy, set aside and removed
};

// Holds a complete copy at the cache's name, or clears the name of an
// incomplete one. A copy in use (its files open while another run sets it
// aside, or opened for removal by a run of another build) is waited for,
// cacheAttempts times, and then the run fails.
CacheName holdOrClearCache() {
    DWORD error = ERROR_ALREADY_EXISTS;
    for (int attempt = 0; attempt < cacheAttempts; ++attempt) {
        DWORD holdError = 0;
        if (holdCompleteCache(&holdError)) {
            return CacheName::held; // nothing is read and nothing is written
        }
        if (GetFileAttributesW(cacheDirectoryPath) == INVALID_FILE_ATTRIBUTES) {
            return CacheName::free;
        }
        // Opened by someone without sharing: a complete copy may be behind
        // it, which is not to be set aside. What it leaves decides.
        if (holdError == ERROR_SHARING_VIOLATION) {
            error = holdError;
        } else if (setAside(&error)) {
            return error == ERROR_SUCCESS ? CacheName::setAside : CacheName::free;
        }
        Sleep(cacheRetryPauseMilliseconds);
    }
    fatalErrorWithCode(messageCacheInUse, error);
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
    return cacheSpec;
}

void prepareCache() {
    copyBounded(cacheDirectoryPath, pathCapacity, targetDirectoryPath);
    copyBounded(cacheFolderPath, pathCapacity, cacheDirectoryPath);
    wchar_t* separator = wcsrchr(cacheFolderPath, L'\\');
    if (separator != nullptr) {
        *separator = 0;
    } else {
        cacheFolderPath[0] = 0;
    }
    formatExpectedMarker();
    CacheName found = holdOrClearCache();
    for (int round = 0; found != CacheName::held; ++round) {
        // A copy this run has just moved into place is complete: when it is
        // not, something damages it, and another copy would fare no better.
        if (round > 0 && found == CacheName::setAside) {
            fatalErrorWithCode(messageCacheInUse, ERROR_FILE_CORRUPT);
        }
        if (round == cacheUnpackRounds) {
            fatalErrorWithCode(messageCacheInUse, ERROR_FILE_NOT_FOUND);
        }
        // The containing folders are ordinary ones (the user's own
        // application data); the copies are made private like a run's own
        // directory.
        sweepCacheFolder(cacheFolderPath, onefileCacheId, false);
        unpackIntoPartial();
        moveIntoPlace();
        found = holdOrClearCache();
    }
}

void removeOtherVersions() {
    if (!cachedMode() || (onefileBuildOptions & buildOptionKeepOtherVersions) != 0 ||
        cacheFolderPath[0] == 0) {
        return;
    }
    // The child's start comes first: on Windows a thread in background mode
    // has the processor and the disk only when nothing else wants them.
    bool background = SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN) != 0;
    sweepCacheFolder(cacheFolderPath, onefileCacheId, true);
    if (background) {
        SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_END);
    }
}

void sweepCacheFolder(const wchar_t* folder, const wchar_t* ownId, bool otherBuilds) {
    // What the system calls the folder: an entry whose handle goes by
    // another name than the folder's and its own was reached through a link.
    wchar_t folderName[pathCapacity];
    noteDirectoryName(folder, folderName, pathCapacity);
    wchar_t pattern[pathCapacity];
    joinPath(pattern, folder, L"*");
    WIN32_FIND_DATAW found;
    HANDLE find =
        FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        // Links are never entered, moved or removed, and files are none of
        // a run's.
        DWORD attributes = found.dwFileAttributes;
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
            !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            continue;
        }
        const wchar_t* name = found.cFileName;
        DWORD owner = 0;
        FolderEntry kind = classifyFolderEntry(name, &owner);
        bool own = wcsncmp(name, ownId, cacheIdLength) == 0;
        if (kind == FolderEntry::unrelated || (!own && !otherBuilds)) {
            continue;
        }
        DWORD unused = 0;
        if (kind == FolderEntry::cache && !own) {
            // Whatever keeps it (a running instance, a link) leaves it to a later run.
            moveAsideAndRemove(folder, folderName, name, name, &unused);
        } else if (kind == FolderEntry::aside ||
                   (kind == FolderEntry::partial && isAbandoned(owner))) {
            removeFolderEntry(folder, folderName, name);
        }
    } while (FindNextFileW(find, &found));
    FindClose(find);
}

void nameCachedEntryLibrary() {
    if (!isSafeRecordPath(onefileCacheEntryName)) {
        fatalError(messageUndecodable);
    }
    joinPath(entryLibraryPath, targetDirectoryPath, onefileCacheEntryName);
}
