#include "extract/cache.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "archive/reader.h"
#include "archive/record_name.h"
#include "bootstrap/bootstrap.h"
#include "bootstrap/bounded.h"
#include "bootstrap/security.h"
#include "cleanup/cleanup.h"
#include "cleanup/tree.h"
#include "errors/errors.h"
#include "extract/extract.h"
#include "extract/target_directory.h"
#include "progress/progress_window.h"

namespace {

// Rounds of looking at what is at the cache's name before giving up: another
// run may hold an incomplete copy (its files in use) for a while.
constexpr int cacheAttempts = 20;
constexpr DWORD cacheRetryPauseMilliseconds = 100;

const wchar_t markerName[] = L"" ONEFILE_CACHE_MARKER_NAME;
// A sibling this run unpacks into, and one an incomplete copy is set aside
// to: the cache's name, a kind, and the run's values.
#define ONEFILE_PARTIAL_KIND L".partial-"
#define ONEFILE_ASIDE_KIND L".aside-"
#define ONEFILE_RUN_VALUES L"{PID}_{TIME_US}_{RANDOM}"
const wchar_t partialSuffix[] = ONEFILE_PARTIAL_KIND ONEFILE_RUN_VALUES;
const wchar_t asideSuffix[] = ONEFILE_ASIDE_KIND ONEFILE_RUN_VALUES;

// The cache directory, which targetDirectoryPath leaves while a first run
// unpacks into its partial sibling.
wchar_t cacheDirectoryPath[pathCapacity];
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
    int length = snprintf(expectedMarker, sizeof expectedMarker, "onefile cache %s %llu %llu\r\n",
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

// Whether `directory` holds exactly this build's marker.
bool holdsExpectedMarker(const wchar_t* directory) {
    wchar_t path[pathCapacity];
    joinPath(path, directory, markerName);
    HANDLE marker = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (marker == INVALID_HANDLE_VALUE) {
        return false;
    }
    char text[sizeof expectedMarker + 1];
    DWORD read = 0;
    BOOL ok = ReadFile(marker, text, sizeof text, &read, nullptr);
    CloseHandle(marker);
    return ok && read == expectedMarkerLength && memcmp(text, expectedMarker, read) == 0;
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
// it aside while this one's child runs from it.
bool holdCompleteCache() {
    HANDLE held =
        CreateFileW(cacheDirectoryPath, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
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

// Sets an incomplete copy at the cache's name aside, in one step, and removes
// it. False when it cannot be moved now (its files are in use by a run).
bool setAside(DWORD* error) {
    expandSibling(asideSuffix);
    if (!MoveFileExW(cacheDirectoryPath, targetDirectoryPath, 0)) {
        *error = GetLastError();
        return *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND;
    }
    removeDirectoryTree(targetDirectoryPath, nullptr);
    return true;
}

// What follows the cache's name and `kind` in a sibling's `name`; null when
// `name` is no sibling of that kind.
const wchar_t* afterSiblingKind(const wchar_t* name, const wchar_t* cacheName,
                                const wchar_t* kind) {
    size_t cacheLength = wcslen(cacheName);
    size_t kindLength = wcslen(kind);
    if (wcsncmp(name, cacheName, cacheLength) != 0 ||
        wcsncmp(name + cacheLength, kind, kindLength) != 0) {
        return nullptr;
    }
    return name + cacheLength + kindLength;
}

bool processRuns(DWORD identifier) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, identifier);
    if (process == nullptr) {
        return false;
    }
    bool runs = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return runs;
}

// Removes what runs that were ended halfway left beside the cache: partial
// siblings whose run is gone, and copies set aside but not yet removed.
void sweepSiblings() {
    wchar_t pattern[pathCapacity];
    copyBounded(pattern, pathCapacity, cacheDirectoryPath);
    wchar_t* separator = wcsrchr(pattern, L'\\');
    if (separator == nullptr) {
        return;
    }
    wchar_t cacheName[pathCapacity];
    copyBounded(cacheName, pathCapacity, separator + 1);
    separator[1] = 0;
    size_t directoryLength = wcslen(pattern);
    appendBounded(pattern, pathCapacity, cacheName);
    appendBounded(pattern, pathCapacity, L".*");
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(pattern, &found);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        // A partial sibling's run values begin with its run's identifier.
        const wchar_t* values = afterSiblingKind(found.cFileName, cacheName, ONEFILE_PARTIAL_KIND);
        DWORD owner = values == nullptr ? 0 : static_cast<DWORD>(wcstoul(values, nullptr, 10));
        bool aside = afterSiblingKind(found.cFileName, cacheName, ONEFILE_ASIDE_KIND) != nullptr;
        // A partial sibling that names this run was left by an earlier
        // process of the same identifier: this run has made none yet.
        bool abandoned = owner != 0 && (owner == GetCurrentProcessId() || !processRuns(owner));
        if (abandoned || aside) {
            wchar_t sibling[pathCapacity];
            wmemcpy(sibling, pattern, directoryLength);
            sibling[directoryLength] = 0;
            appendBounded(sibling, pathCapacity, found.cFileName);
            removeDirectoryTree(sibling, nullptr);
        }
    } while (FindNextFileW(find, &found));
    FindClose(find);
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
    formatExpectedMarker();
    DWORD error = ERROR_ALREADY_EXISTS;
    int attempt = 0;
    for (; attempt < cacheAttempts; ++attempt) {
        if (holdCompleteCache()) {
            return; // nothing is read and nothing is written
        }
        if (GetFileAttributesW(cacheDirectoryPath) == INVALID_FILE_ATTRIBUTES || setAside(&error)) {
            break;
        }
        Sleep(cacheRetryPauseMilliseconds);
    }
    if (attempt == cacheAttempts) {
        fatalErrorWithCode(messageCacheInUse, error);
    }

    // The containing folders are ordinary ones (the user's own application
    // data); the copies are made private like a run's own directory.
    sweepSiblings();
    unpackIntoPartial();

    // Into place in one step; a run that got there first keeps its copy.
    HANDLE held = InterlockedExchangePointer(&targetDirectoryHandle, nullptr);
    if (held != nullptr) {
        CloseHandle(held);
    }
    bool moved = MoveFileExW(targetDirectoryPath, cacheDirectoryPath, 0) != 0;
    error = GetLastError();
    if (!moved) {
        removeDirectoryTree(targetDirectoryPath, targetDirectoryName);
    }
    // Nothing of this run's is left to remove: the copy is the cache now, or gone.
    extractionStarted = false;
    if (!holdCompleteCache()) {
        fatalErrorWithCode(messageCacheInUse, moved ? ERROR_FILE_CORRUPT : error);
    }
}

void nameCachedEntryLibrary() {
    if (!isSafeRecordPath(onefileCacheEntryName)) {
        fatalError(messageUndecodable);
    }
    joinPath(entryLibraryPath, targetDirectoryPath, onefileCacheEntryName);
}
